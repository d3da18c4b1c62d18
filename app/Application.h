#pragma once

#include <QApplication>
#include <QString>

#include <functional>

// The application object. An exception that escapes a handler (a click, a
// timer tick, a device event) is shown through the host's exception display
// and the message loop goes on, as the toolkit's application does: one
// failing handler never ends the program. The run is told of it
// (onException), so that its exit status says so.
class VemoApplication : public QApplication
{
    Q_OBJECT
public:
    VemoApplication(int &argc, char **argv);

    bool notify(QObject *receiver, QEvent *event) override;

    // Called with the exception's message (empty when it has none) before
    // it is shown.
    std::function<void(const QString &message)> onException;

private:
    void exceptionReached(const QString &message);
};
