#include "report/TfrxReport.h"

#include "files/RegularFile.h"
#include "report/Expression.h"
#include "report/Placeholders.h"
#include "report/ReportOutput.h"

#include <QFile>
#include <QFileInfo>

using report::ReportError;

namespace {

// Control characters have no glyph and would break the line structure of a
// text object; everything else in a value is printed as it is.
QString printable(const QString &text)
{
    QString result;
    result.reserve(text.size());
    for (const QChar c : text) {
        if (c.category() != QChar::Other_Control)
            result += c;
    }
    return result;
}

} // namespace

TfrxReport::TfrxReport(QObject *parent) : QObject(parent) {}

TfrxReport::~TfrxReport() = default;

void TfrxReport::LoadFromFile(const QString &fileName)
{
    QByteArray text;
    QString why;
    if (!files::RegularFile::read(fileName, files::RegularFile::InputLimit, &text, &why))
        throw ReportError(
            QStringLiteral("Cannot read the report definition \"%1\": %2").arg(fileName, why));
    LoadFromText(text, QFileInfo(fileName).absolutePath());
}

void TfrxReport::LoadFromText(const QByteArray &text, const QString &baseFolder)
{
    FDefinition = report::ReportDefinition::parse(text, baseFolder);
    FLoaded = true;
    FPages.clear();
    FFileBaseName.clear();
}

void TfrxReport::SetVariable(const QString &name, const QString &expression)
{
    if (!FLoaded)
        throw ReportError(QStringLiteral("No report definition is loaded"));
    report::ReportVariable *variable = FDefinition.variable(name);
    if (!variable)
        throw ReportError(QStringLiteral("The report has no variable %1").arg(name));
    variable->value = expression;
}

QString TfrxReport::Variable(const QString &name) const
{
    const report::ReportVariable *variable = FDefinition.variable(name);
    if (!variable)
        throw ReportError(QStringLiteral("The report has no variable %1").arg(name));
    return variable->value;
}

void TfrxReport::PrepareReport()
{
    FPages.clear();
    FFileBaseName.clear();
    if (!FLoaded)
        throw ReportError(QStringLiteral("No report definition is loaded"));

    QHash<QString, QString> values;
    for (const report::ReportVariable &variable : FDefinition.variables) {
        try {
            values.insert(variable.name, printable(report::Expression::evaluate(variable.value)));
        } catch (const ReportError &e) {
            throw ReportError(
                QStringLiteral("Bad value of variable %1: %2").arg(variable.name, e.message()));
        }
    }
    FPages << report::PreparedPage::prepare(FDefinition, values);
    FFileBaseName = report::Placeholders::substitute(FDefinition.outputFileName, values);
}

void TfrxReport::Print()
{
    if (FPages.isEmpty())
        throw ReportError(QStringLiteral("The report has not been prepared"));
    FLastPdfFile.clear();
    if (FPrintToFolder.isEmpty()) {
        report::ReportOutput::print(FPages, FDefinition.printer, Title());
    } else {
        FLastPdfFile =
            report::ReportOutput::saveNewPdf(FPages, FPrintToFolder, FFileBaseName, Title());
    }
}

QString TfrxReport::Title() const
{
    return FDescription.isEmpty() ? FDefinition.name : FDescription;
}
