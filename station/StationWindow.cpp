#include "station/StationWindow.h"

#include "generations/GenerationTable.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace station {

// ---- The run's log ----------------------------------------------------------------------

RunLogDialog::RunLogDialog(const QString &path, const QString &logFile, QWidget *parent)
    : QDialog(parent), m_text(new QPlainTextEdit(this))
{
    setWindowTitle(QStringLiteral("Log of the run at %1").arg(path));
    setObjectName(QStringLiteral("RunLog"));
    m_text->setReadOnly(true);
    m_text->setLineWrapMode(QPlainTextEdit::NoWrap);
    QFont fixed(QStringLiteral("Monospace"));
    fixed.setStyleHint(QFont::TypeWriter);
    m_text->setFont(fixed);
    QFile file(logFile);
    if (file.open(QIODevice::ReadOnly)) {
        if (file.size() > ShownBytes)
            file.seek(file.size() - ShownBytes);
        m_text->setPlainText(QString::fromUtf8(file.readAll()));
    } else {
        m_text->setPlainText(
            QStringLiteral("The log %1 cannot be read: %2").arg(logFile, file.errorString()));
    }
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(logFile, this));
    layout->addWidget(m_text);
    resize(760, 480);
    m_text->moveCursor(QTextCursor::End);
}

// ---- The window --------------------------------------------------------------------------

StationWindow::StationWindow(Station &station, QWidget *parent)
    : QWidget(parent), m_station(station)
{
    setWindowTitle(QStringLiteral("Vemo station"));
    setObjectName(QStringLiteral("StationWindow"));

    m_start = new QPushButton(QStringLiteral("Start"), this);
    m_start->setObjectName(QStringLiteral("Start"));
    m_start->setToolTip(
        QStringLiteral("Update every device that is ready, and every failed one still there"));
    m_auto = new QPushButton(QStringLiteral("Auto: off"), this);
    m_auto->setObjectName(QStringLiteral("Auto"));
    m_auto->setCheckable(true);
    m_auto->setToolTip(QStringLiteral("Update each device as soon as it is plugged in"));
    m_stop = new QPushButton(QStringLiteral("Stop"), this);
    m_stop->setObjectName(QStringLiteral("Stop"));
    m_stop->setToolTip(
        QStringLiteral("End the runs under way; each stops after its chunk in flight"));
    m_counters = new QLabel(this);
    m_counters->setObjectName(QStringLiteral("Counters"));

    m_table = new QTableWidget(0, ColumnCount, this);
    m_table->setObjectName(QStringLiteral("Sockets"));
    m_table->setHorizontalHeaderLabels(
        {QStringLiteral("Socket"), QStringLiteral("Generation"), QStringLiteral("Serial"),
         QStringLiteral("Firmware"), QStringLiteral("State"), QStringLiteral("Progress"),
         QStringLiteral("Elapsed"), QStringLiteral("Log"), QStringLiteral("Result")});
    m_table->verticalHeader()->hide();
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->horizontalHeader()->setSectionResizeMode(ResultColumn, QHeaderView::Stretch);
    m_table->verticalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_table->setWordWrap(true);
    m_table->setColumnWidth(SocketColumn, 80);
    m_table->setColumnWidth(GenerationColumn, 80);
    m_table->setColumnWidth(SerialColumn, 90);
    m_table->setColumnWidth(FirmwareColumn, 90);
    m_table->setColumnWidth(StateColumn, 190);
    m_table->setColumnWidth(ProgressColumn, 150);
    m_table->setColumnWidth(ElapsedColumn, 60);
    m_table->setColumnWidth(LogColumn, 50);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_start);
    buttons->addWidget(m_auto);
    buttons->addWidget(m_stop);
    buttons->addStretch(1);
    buttons->addWidget(m_counters);

    auto *settings = new QHBoxLayout;
    settings->addWidget(makeImages(), 1);
    settings->addWidget(makeOptions(), 1);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(settings);
    layout->addLayout(buttons);
    layout->addWidget(m_table, 1);
    resize(1100, 560);

    connect(m_start, &QPushButton::clicked, this, [this] { m_station.start(); });
    connect(m_auto, &QPushButton::toggled, this, [this](bool on) {
        // The text says it too, not only the button's look.
        m_auto->setText(on ? QStringLiteral("Auto: on") : QStringLiteral("Auto: off"));
        m_station.setAuto(on);
    });
    connect(m_stop, &QPushButton::clicked, this, [this] { m_station.stop(); });
    connect(m_table, &QTableWidget::cellDoubleClicked, this, [this](int row, int) {
        const QString path = m_table->item(row, SocketColumn)->text();
        const Socket *socket = m_station.socket(path);
        if (socket && socket->state == SocketState::Failed)
            openLog(path);
    });

    connect(&m_station, &Station::socketAdded, this, &StationWindow::socketAdded);
    connect(&m_station, &Station::socketChanged, this, &StationWindow::socketChanged);
    connect(&m_station, &Station::socketRemoved, this, &StationWindow::socketRemoved);
    connect(&m_station, &Station::countersChanged, this, &StationWindow::showCounters);
    connect(&m_station, &Station::idle, this, [this] { m_elapsedTimer.stop(); });
    // The elapsed times move while runs go; an idle station has no timer.
    m_elapsedTimer.setInterval(1000);
    connect(&m_elapsedTimer, &QTimer::timeout, this, &StationWindow::tickElapsed);

    m_auto->setChecked(m_station.autoStart());
    for (const QString &path : m_station.paths())
        socketAdded(path);
    showCounters();
}

StationWindow::~StationWindow() = default;

QWidget *StationWindow::makeImages()
{
    auto *box = new QGroupBox(QStringLiteral("Images"), this);
    auto *grid = new QGridLayout(box);
    int row = 0;
    for (const generations::Descriptor &generation : generations::table().rows()) {
        auto *edit = new QLineEdit(m_station.settings().imageFor(generation.name), box);
        edit->setObjectName(QStringLiteral("Image") + generation.name);
        edit->setPlaceholderText(
            QStringLiteral("no image: a %1 is left alone").arg(generation.name));
        auto *pick = new QToolButton(box);
        pick->setText(QStringLiteral("..."));
        pick->setToolTip(QStringLiteral("Pick the %1 image").arg(generation.name));
        grid->addWidget(new QLabel(generation.name, box), row, 0);
        grid->addWidget(edit, row, 1);
        grid->addWidget(pick, row, 2);
        m_imageEdits.insert(generation.name, edit);
        const QString filter = generation.fileFilter.section(QLatin1Char('|'), 0, 0) +
                               QStringLiteral(" (") +
                               generation.fileFilter.section(QLatin1Char('|'), 1)
                                   .replace(QLatin1Char(';'), QLatin1Char(' ')) +
                               QStringLiteral(");;All files (*)");
        connect(edit, &QLineEdit::editingFinished, this, &StationWindow::applySettings);
        connect(pick, &QToolButton::clicked, this, [this, edit, generation, filter] {
            pickFile(edit, QStringLiteral("The %1 image").arg(generation.name), filter);
        });
        ++row;
    }
    return box;
}

QWidget *StationWindow::makeOptions()
{
    const Settings &settings = m_station.settings();
    auto *box = new QGroupBox(QStringLiteral("Each run"), this);
    auto *form = new QFormLayout(box);

    m_verify = new QCheckBox(QStringLiteral("Verify: the device back with its new firmware"), box);
    m_verify->setObjectName(QStringLiteral("Verify"));
    m_verify->setChecked(settings.verify);
    form->addRow(m_verify);

    m_expectVersion = new QLineEdit(settings.expectVersion, box);
    m_expectVersion->setObjectName(QStringLiteral("ExpectVersion"));
    m_expectVersion->setPlaceholderText(QStringLiteral("any"));
    form->addRow(QStringLiteral("Expected version"), m_expectVersion);

    m_calibrate = new QCheckBox(QStringLiteral("Calibrate and make the certificate"), box);
    m_calibrate->setObjectName(QStringLiteral("Calibrate"));
    m_calibrate->setChecked(settings.calibrate);
    form->addRow(m_calibrate);

    auto *folderRow = new QHBoxLayout;
    m_certificateFolder = new QLineEdit(settings.certificateFolder, box);
    m_certificateFolder->setObjectName(QStringLiteral("CertificateFolder"));
    m_certificateFolder->setPlaceholderText(QStringLiteral("the printer"));
    auto *pickFolderButton = new QToolButton(box);
    pickFolderButton->setText(QStringLiteral("..."));
    folderRow->addWidget(m_certificateFolder);
    folderRow->addWidget(pickFolderButton);
    form->addRow(QStringLiteral("Certificates into"), folderRow);

    auto *recordRow = new QHBoxLayout;
    m_recordFile = new QLineEdit(settings.recordFile, box);
    m_recordFile->setObjectName(QStringLiteral("RecordFile"));
    auto *pickRecordButton = new QToolButton(box);
    pickRecordButton->setText(QStringLiteral("..."));
    recordRow->addWidget(m_recordFile);
    recordRow->addWidget(pickRecordButton);
    form->addRow(QStringLiteral("Record file"), recordRow);

    connect(m_verify, &QCheckBox::toggled, this, &StationWindow::applySettings);
    connect(m_calibrate, &QCheckBox::toggled, this, &StationWindow::applySettings);
    for (QLineEdit *edit : {m_expectVersion, m_certificateFolder, m_recordFile})
        connect(edit, &QLineEdit::editingFinished, this, &StationWindow::applySettings);
    connect(pickFolderButton, &QToolButton::clicked, this, [this] {
        pickFolder(m_certificateFolder, QStringLiteral("The folder of the certificates"));
    });
    connect(pickRecordButton, &QToolButton::clicked, this, [this] {
        const QString file = QFileDialog::getSaveFileName(
            this, QStringLiteral("The record file"), m_recordFile->text(),
            QStringLiteral("Run records (*.jsonl);;All files (*)"), nullptr,
            QFileDialog::DontConfirmOverwrite);
        if (file.isEmpty())
            return;
        m_recordFile->setText(file);
        applySettings();
    });
    return box;
}

void StationWindow::pickFile(QLineEdit *edit, const QString &caption, const QString &filter)
{
    const QString file = QFileDialog::getOpenFileName(this, caption, edit->text(), filter);
    if (file.isEmpty())
        return;
    edit->setText(file);
    applySettings();
}

void StationWindow::pickFolder(QLineEdit *edit, const QString &caption)
{
    const QString folder = QFileDialog::getExistingDirectory(this, caption, edit->text());
    if (folder.isEmpty())
        return;
    edit->setText(folder);
    applySettings();
}

void StationWindow::applySettings()
{
    Settings settings = m_station.settings();
    settings.images.clear();
    for (auto it = m_imageEdits.cbegin(); it != m_imageEdits.cend(); ++it) {
        const QString file = it.value()->text().trimmed();
        // An image that is not there is none: its devices are left alone.
        const bool usable = !file.isEmpty() && QFileInfo(file).isFile();
        it.value()->setToolTip(file.isEmpty() || usable ? QString()
                                                        : QStringLiteral("No such file"));
        if (usable)
            settings.images.insert(it.key(), QFileInfo(file).absoluteFilePath());
    }
    settings.verify = m_verify->isChecked();
    settings.expectVersion = m_expectVersion->text().trimmed();
    settings.calibrate = m_calibrate->isChecked();
    const QString folder = m_certificateFolder->text().trimmed();
    settings.certificateFolder =
        folder.isEmpty() ? QString() : QFileInfo(folder).absoluteFilePath();
    const QString record = m_recordFile->text().trimmed();
    if (!record.isEmpty())
        settings.recordFile = QFileInfo(record).absoluteFilePath();
    m_station.setSettings(settings);
}

// ---- The rows ----------------------------------------------------------------------------

int StationWindow::rowOf(const QString &path) const
{
    for (int row = 0; row < m_table->rowCount(); ++row) {
        if (m_table->item(row, SocketColumn)->text() == path)
            return row;
    }
    return -1;
}

QColor StationWindow::colourOf(SocketState state)
{
    switch (state) {
    case SocketState::Done:
        return QColor(0xc6, 0xef, 0xc6);
    case SocketState::Failed:
        return QColor(0xf6, 0xc2, 0xc2);
    case SocketState::LeftAlone:
        return QColor(0xf8, 0xe6, 0xb0);
    case SocketState::Waiting:
    case SocketState::Ready:
    case SocketState::Running:
    case SocketState::Stopping:
        break;
    }
    return QColor(0xf4, 0xf4, 0xf4);
}

QString StationWindow::elapsedText(qint64 ms)
{
    const qint64 seconds = ms / 1000;
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(seconds);
    const QString minutes =
        QStringLiteral("%1:%2")
            .arg((seconds / 60) % 60, seconds >= 3600 ? 2 : 1, 10, QLatin1Char('0'))
            .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    return seconds >= 3600 ? QStringLiteral("%1:").arg(seconds / 3600) + minutes : minutes;
}

void StationWindow::socketAdded(const QString &path)
{
    // In the order of the bus paths.
    int row = 0;
    while (row < m_table->rowCount() &&
           Station::pathBefore(m_table->item(row, SocketColumn)->text(), path))
        ++row;
    m_table->insertRow(row);
    for (int column = 0; column < ColumnCount; ++column)
        m_table->setItem(row, column, new QTableWidgetItem);
    m_table->item(row, SocketColumn)->setText(path);
    auto *log = new QPushButton(QStringLiteral("Log"), m_table);
    log->setEnabled(false);
    connect(log, &QPushButton::clicked, this, [this, path] { openLog(path); });
    m_table->setCellWidget(row, LogColumn, log);
    socketChanged(path);
}

void StationWindow::socketChanged(const QString &path)
{
    const int row = rowOf(path);
    const Socket *socket = m_station.socket(path);
    if (row < 0 || !socket)
        return;
    m_table->item(row, GenerationColumn)->setText(socket->device.generation);
    m_table->item(row, SerialColumn)
        ->setText(socket->device.serial.isEmpty() ? QStringLiteral("-") : socket->device.serial);
    m_table->item(row, FirmwareColumn)->setText(Station::firmwareText(*socket));
    m_table->item(row, StateColumn)->setText(Station::stateText(*socket));
    m_table->item(row, ElapsedColumn)
        ->setText(socket->ran ? elapsedText(socket->elapsed()) : QString());
    const QString result = Station::resultText(*socket);
    m_table->item(row, ResultColumn)->setText(result);
    m_table->item(row, ResultColumn)->setToolTip(result);
    const QColor colour = colourOf(socket->state);
    for (int column = 0; column < ColumnCount; ++column)
        m_table->item(row, column)->setBackground(colour);

    // Only a run has an image on its way: a bar of the bytes the device
    // took, of the image.
    auto *bar = qobject_cast<QProgressBar *>(m_table->cellWidget(row, ProgressColumn));
    if (!socket->ran) {
        if (bar)
            m_table->removeCellWidget(row, ProgressColumn);
    } else {
        if (!bar) {
            bar = new QProgressBar(m_table);
            bar->setTextVisible(true);
            m_table->setCellWidget(row, ProgressColumn, bar);
        }
        const qint64 of = socket->of > 0 ? socket->of : 1;
        const int scale = of > (1 << 30) ? 1024 : 1;
        bar->setRange(0, int(of / scale));
        bar->setValue(int(std::min(socket->bytes, of) / scale));
        bar->setFormat(socket->of > 0
                           ? QStringLiteral("%1 of %2 bytes").arg(socket->bytes).arg(socket->of)
                           : QString());
    }
    if (auto *log = qobject_cast<QPushButton *>(m_table->cellWidget(row, LogColumn)))
        log->setEnabled(!socket->logFile.isEmpty());

    if (m_station.runsGoing() > 0 && !m_elapsedTimer.isActive())
        m_elapsedTimer.start();
}

void StationWindow::socketRemoved(const QString &path)
{
    const int row = rowOf(path);
    if (row >= 0)
        m_table->removeRow(row);
}

void StationWindow::tickElapsed()
{
    for (const QString &path : m_station.paths()) {
        const Socket *socket = m_station.socket(path);
        const int row = rowOf(path);
        if (socket && row >= 0 &&
            (socket->state == SocketState::Running || socket->state == SocketState::Stopping))
            m_table->item(row, ElapsedColumn)->setText(elapsedText(socket->elapsed()));
    }
}

void StationWindow::showCounters()
{
    const double rate = m_station.tally().runsPerHour();
    m_counters->setText(QStringLiteral("Done: %1    Failed: %2    Runs per hour: %3")
                            .arg(m_station.doneCount())
                            .arg(m_station.failedCount())
                            .arg(rate < 0 ? QStringLiteral("-") : QString::number(rate, 'f', 0)));
}

void StationWindow::openLog(const QString &path)
{
    const Socket *socket = m_station.socket(path);
    if (!socket || socket->logFile.isEmpty())
        return;
    if (m_logDialog)
        m_logDialog->close();
    m_logDialog = new RunLogDialog(path, socket->logFile, this);
    m_logDialog->setAttribute(Qt::WA_DeleteOnClose);
    m_logDialog->show();
}

void StationWindow::closeEvent(QCloseEvent *event)
{
    const int going = m_station.runsGoing();
    if (going == 0) {
        event->accept();
        return;
    }
    const QMessageBox::StandardButton answer = QMessageBox::question(
        this, QStringLiteral("Runs going"),
        QStringLiteral("%1 of the devices are being updated. Closing stops their runs: each "
                       "ends after its chunk in flight, and a device stopped in the middle of its "
                       "image stays in its loader without firmware. Close anyway?")
            .arg(going),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes) {
        event->ignore();
        return;
    }
    m_station.setAuto(false);
    m_station.stop();
    // Each run ends by itself, saying how far it got, and leaves its record.
    if (m_station.runsGoing() > 0) {
        QEventLoop wait;
        connect(&m_station, &Station::idle, &wait, &QEventLoop::quit);
        QTimer::singleShot(CloseWaitMs, &wait, &QEventLoop::quit);
        wait.exec();
    }
    event->accept();
}

} // namespace station
