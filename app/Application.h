#pragma once

#include <QApplication>

// The application object. An exception that escapes a handler (a click, a
// timer tick, a device event) is shown through the host's exception display
// and the message loop goes on, as the toolkit's application does: one
// failing handler never ends the program.
class VemoApplication : public QApplication
{
    Q_OBJECT
public:
    VemoApplication(int &argc, char **argv);

    bool notify(QObject *receiver, QEvent *event) override;
};
