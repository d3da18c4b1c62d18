#include "app/Application.h"

#include "platform/HostServices.h"

#include <exception>

VemoApplication::VemoApplication(int &argc, char **argv) : QApplication(argc, argv) {}

bool VemoApplication::notify(QObject *receiver, QEvent *event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception &e) {
        exceptionReached(QString::fromUtf8(e.what()));
    } catch (...) {
        exceptionReached(QString());
    }
    return false;
}

void VemoApplication::exceptionReached(const QString &message)
{
    if (onException)
        onException(message);
    platform::host().showException(message);
}
