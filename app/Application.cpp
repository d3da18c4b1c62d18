#include "app/Application.h"

#include "platform/HostServices.h"

#include <exception>

VemoApplication::VemoApplication(int &argc, char **argv) : QApplication(argc, argv) {}

bool VemoApplication::notify(QObject *receiver, QEvent *event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception &e) {
        platform::host().showException(QString::fromUtf8(e.what()));
    } catch (...) {
        platform::host().showException(QString());
    }
    return false;
}
