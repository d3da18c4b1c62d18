#pragma once

#include "app/ProgramOptions.h"
#include "app/Unit1.h"
#include "tests/support/ScopedHost.h"
#include "tests/support/TempKeyStore.h"
#include "usbio/sim/SimBus.h"
#include "usbio/sim/SimDevice.h"

#include <QStringList>

#include <memory>

// The real main window on the offscreen platform, with the host fake, a key
// store of its own and the simulated bus installed. Devices are attached
// before start(), which constructs the window and so runs its start-up.
class WindowFixture
{
public:
    static const QString ProgramPath;
    static const QString CurrentDir;
    // Where the simulated driver service lists the present devices.
    static const QString ServiceEnum;

    WindowFixture();
    ~WindowFixture();
    WindowFixture(const WindowFixture &) = delete;
    WindowFixture &operator=(const WindowFixture &) = delete;

    FakeHostServices &host() { return m_host.fake(); }
    registry::KeyStore &store() { return m_store.store(); }
    QString storeFile() const { return m_store.filePath(); }
    QString dirPath() const { return m_store.dirPath(); }
    usbio::SimBus &bus() { return *m_bus; }

    usbio::SimDevice *attach(usbio::Generation generation, const QByteArray &serial);

    // Arguments after the program path; ProgramPath is argument 0.
    TForm1 &start(const QStringList &arguments = {}, const ProgramOptions &options = {});
    TForm1 &window() { return *m_window; }
    void destroyWindow();

    // The entries of the message log, one per line.
    QStringList log() const;
    // Every box as "text|caption|flags".
    QStringList boxes();

private:
    ScopedHost m_host;
    TempKeyStore m_store;
    std::unique_ptr<usbio::SimBus> m_bus;
    std::unique_ptr<TForm1> m_window;
};
