#pragma once

#include "report/PreparedPage.h"

class QIODevice;

namespace report {

// Where prepared pages go: a printer, or PDF files.
class ReportOutput
{
public:
    // The printer name that stands for the system's default printer.
    static const QString DefaultPrinter;

    // Prints without a dialog on the CUPS queue named printer, or on the
    // default printer for DefaultPrinter; title names the job. The job is
    // handed to CUPS by the engine, so a queue that refuses it raises
    // ReportError with the server's reason.
    static void print(const QList<PreparedPage> &pages, const QString &printer,
                      const QString &title);

    // Writes the pages as one PDF into a new file in folder and returns its
    // path. The name is baseName (characters unsafe in file names replaced
    // by "_"), "-", the local time as yyyyMMdd-HHmmss and ".pdf"; when that
    // file exists already, "-2", "-3", ... go before ".pdf". An existing file
    // is never written over.
    static QString saveNewPdf(const QList<PreparedPage> &pages, const QString &folder,
                              const QString &baseName, const QString &title);

    // The pages as a PDF written to device, which is open for writing.
    static void writePdf(const QList<PreparedPage> &pages, QIODevice &device, const QString &title);

    // baseName as saveNewPdf puts it into a file name.
    static QString safeFileName(const QString &baseName);
};

} // namespace report
