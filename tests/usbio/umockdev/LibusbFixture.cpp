#include "tests/usbio/umockdev/LibusbFixture.h"

#include "tests/usbio/SimFixture.h"
#include "usbio/devicemodel/VemoIdentity.h"

LibusbFixture::LibusbFixture() = default;

LibusbFixture::~LibusbFixture()
{
    backend.reset();
}

void LibusbFixture::start()
{
    backend = std::make_unique<usbio::LibusbBackend>(&store);
    backend->install();
}

std::unique_ptr<usbio::LibusbComponent> LibusbFixture::component()
{
    return std::make_unique<usbio::LibusbComponent>(backend.get());
}

std::unique_ptr<usbio::LibusbComponent> LibusbFixture::pipe(quint8 endpoint, int index)
{
    auto result = component();
    const usbio::Status status = SimFixture::openPipe(*result, endpoint, index);
    if (status != 0)
        qWarning("opening pipe 0x%02X failed: 0x%08X", endpoint, status);
    return status == 0 ? std::move(result) : nullptr;
}

bool LibusbFixture::waitFor(const std::function<bool()> &done, int timeoutMs)
{
    return SimFixture::waitFor(done, timeoutMs);
}

void LibusbFixture::settle(int ms)
{
    SimFixture::settle(ms);
}
