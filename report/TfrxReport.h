#pragma once

#include "report/PreparedPage.h"
#include "report/ReportDefinition.h"
#include "report/ReportError.h"

#include <QObject>

// A report: a stored definition, the current values of its variables, and
// the pages prepared from them. Fill the variables, prepare, print:
//
//   report.SetVariable("SERIALNO", report::Expression::quoted(serial));
//   report.PrepareReport();
//   report.Print();
//
// Every failure raises report::ReportError with a message for the operator.
// Printing never shows a dialog: it goes to the printer the definition
// names, or into a new PDF file when a print-to folder is set.
class TfrxReport : public QObject
{
    Q_OBJECT
public:
    explicit TfrxReport(QObject *parent = nullptr);
    ~TfrxReport() override;

    // Replaces the definition with the one in the file (resource paths
    // work); pictures are found relative to its folder. The variables take
    // their stored values and prepared pages are dropped. On error the
    // report keeps what it had.
    void LoadFromFile(const QString &fileName);
    void LoadFromText(const QByteArray &text, const QString &baseFolder = QString());
    bool IsLoaded() const { return FLoaded; }
    const report::ReportDefinition &Definition() const { return FDefinition; }

    // Variables hold expressions (report::Expression), evaluated when the
    // report is prepared. Only the definition's variables exist.
    void SetVariable(const QString &name, const QString &expression);
    QString Variable(const QString &name) const;

    // A line about this run of the report; the title of the print job and
    // of saved PDFs when set, else the report's name is.
    void SetDescription(const QString &description) { FDescription = description; }
    QString Description() const { return FDescription; }

    // Where Print writes PDF files instead of printing; empty: the printer.
    void SetPrintToFolder(const QString &folder) { FPrintToFolder = folder; }
    QString PrintToFolder() const { return FPrintToFolder; }

    // Evaluates the variables and lays out the page, discarding the pages
    // prepared before. Raises ReportError for an expression that does not
    // evaluate, naming its variable; the earlier pages are gone then too.
    void PrepareReport();
    const QList<report::PreparedPage> &PreparedPages() const { return FPages; }

    // Prints the prepared pages (see the class comment).
    void Print();
    // The PDF file that the last Print wrote into the print-to folder.
    QString LastPdfFile() const { return FLastPdfFile; }

private:
    QString Title() const;

    report::ReportDefinition FDefinition;
    bool FLoaded = false;
    QString FDescription;
    QString FPrintToFolder;
    QList<report::PreparedPage> FPages;
    QString FFileBaseName; // the output file name of the prepared pages
    QString FLastPdfFile;
};
