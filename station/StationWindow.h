#pragma once

#include "station/Station.h"

#include <QColor>
#include <QDialog>
#include <QMap>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTableWidget;

namespace station {

// A run's log, read from its file when it opens.
class RunLogDialog : public QDialog
{
    Q_OBJECT
public:
    RunLogDialog(const QString &path, const QString &logFile, QWidget *parent = nullptr);
    QPlainTextEdit *text() const { return m_text; }

    // What is shown of a long log: its end.
    static constexpr qint64 ShownBytes = 2 * 1024 * 1024;

private:
    QPlainTextEdit *m_text;
};

// The station's window: the images (one per generation), the run's options,
// Start, Auto and Stop, the counters, and a row per socket kept current by
// the station: socket, generation, serial number, firmware before and
// after, state, the image's progress, elapsed time, result and the run's
// log. The state is said in words and in the row's colour (done green,
// failed red, left alone amber, the rest neutral). Closing it while runs go
// asks first, then stops them.
class StationWindow : public QWidget
{
    Q_OBJECT
public:
    enum Column
    {
        SocketColumn,
        GenerationColumn,
        SerialColumn,
        FirmwareColumn,
        StateColumn,
        ProgressColumn,
        ElapsedColumn,
        LogColumn,
        ResultColumn,
        ColumnCount,
    };

    explicit StationWindow(Station &station, QWidget *parent = nullptr);
    ~StationWindow() override;

    Station &station() { return m_station; }
    QTableWidget *table() const { return m_table; }
    QPushButton *startButton() const { return m_start; }
    QPushButton *autoButton() const { return m_auto; }
    QPushButton *stopButton() const { return m_stop; }
    QLabel *counters() const { return m_counters; }
    QLineEdit *imageEdit(const QString &generation) const { return m_imageEdits.value(generation); }
    QCheckBox *verifyBox() const { return m_verify; }
    QLineEdit *expectVersionEdit() const { return m_expectVersion; }
    QCheckBox *calibrateBox() const { return m_calibrate; }
    QLineEdit *certificateFolderEdit() const { return m_certificateFolder; }
    QLineEdit *recordFileEdit() const { return m_recordFile; }
    // The row of a socket; -1 when it has none.
    int rowOf(const QString &path) const;
    // The log last opened (by its row's button, or a double click on a
    // failed row).
    RunLogDialog *logDialog() const { return m_logDialog; }
    void openLog(const QString &path);

    // The colour of a row in this state.
    static QColor colourOf(SocketState state);
    // "12 s", "3:05", "1:02:03".
    static QString elapsedText(qint64 ms);

    // How long closing waits for the stopped runs to end.
    static constexpr int CloseWaitMs = 30000;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    QWidget *makeImages();
    QWidget *makeOptions();
    void applySettings();
    void socketAdded(const QString &path);
    void socketChanged(const QString &path);
    void socketRemoved(const QString &path);
    void showCounters();
    void tickElapsed();
    void pickFile(QLineEdit *edit, const QString &caption, const QString &filter);
    void pickFolder(QLineEdit *edit, const QString &caption);

    Station &m_station;
    QMap<QString, QLineEdit *> m_imageEdits;
    QCheckBox *m_verify = nullptr;
    QLineEdit *m_expectVersion = nullptr;
    QCheckBox *m_calibrate = nullptr;
    QLineEdit *m_certificateFolder = nullptr;
    QLineEdit *m_recordFile = nullptr;
    QPushButton *m_start = nullptr;
    QPushButton *m_auto = nullptr;
    QPushButton *m_stop = nullptr;
    QLabel *m_counters = nullptr;
    QTableWidget *m_table = nullptr;
    QTimer m_elapsedTimer;
    QPointer<RunLogDialog> m_logDialog;
};

} // namespace station
