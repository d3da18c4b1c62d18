#include "tests/usbio/umockdev/OrdinaryUserFiles.h"

#include <sys/fsuid.h>
#include <unistd.h>

namespace {

constexpr uid_t kNobody = 65534;
constexpr gid_t kNoGroup = 65534;

} // namespace

OrdinaryUserFiles::OrdinaryUserFiles()
{
    if (geteuid() != 0) {
        m_active = true;
        return;
    }
    // Each answers the identity before the call; asked again, the current
    // one.
    m_group = setfsgid(kNoGroup);
    m_user = setfsuid(kNobody);
    m_switched = true;
    m_active = setfsuid(uid_t(-1)) == int(kNobody);
}

OrdinaryUserFiles::~OrdinaryUserFiles()
{
    if (!m_switched)
        return;
    setfsuid(uid_t(m_user));
    setfsgid(gid_t(m_group));
}
