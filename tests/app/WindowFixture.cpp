#include "tests/app/WindowFixture.h"

#include "usbio/Backend.h"

#include <QPlainTextEdit>

const QString WindowFixture::ProgramPath = QStringLiteral("/opt/vemo/bin/vemotool");
const QString WindowFixture::CurrentDir = QStringLiteral("/srv/production/line3");
const QString WindowFixture::ServiceEnum =
    QStringLiteral("SYSTEM\\CurrentControlSet\\Services\\VemoUSB\\Enum");

WindowFixture::WindowFixture() : m_bus(std::make_unique<usbio::SimBus>(&m_store.store()))
{
    host().currentDir = CurrentDir;
    m_bus->install();
}

WindowFixture::~WindowFixture()
{
    // The window's link holds components of the bus: it goes first.
    destroyWindow();
    m_bus.reset();
    usbio::selectBackend(QStringLiteral("sim"));
}

usbio::SimDevice *WindowFixture::attach(usbio::Generation generation, const QByteArray &serial)
{
    usbio::SimDeviceSettings settings;
    settings.generation = generation;
    settings.serialNumber = serial;
    return m_bus->attach(settings);
}

TForm1 &WindowFixture::start(const QStringList &arguments, const ProgramOptions &options)
{
    m_window = std::make_unique<TForm1>(QStringList{ProgramPath} + arguments, options);
    return *m_window;
}

void WindowFixture::destroyWindow()
{
    m_window.reset();
}

QStringList WindowFixture::log() const
{
    const QString text = m_window->Message->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

QStringList WindowFixture::boxes()
{
    QStringList result;
    for (const FakeHostServices::Call &box : m_host.fake().boxes())
        result << QStringLiteral("%1|%2|%3").arg(box.text, box.caption).arg(box.flags);
    return result;
}
