#include "dialogue/Certificate.h"

#include "dialogue/DeviceText.h"
#include "report/Expression.h"
#include "report/TfrxReport.h"

// Resources of a static library are registered by hand, from the global
// namespace.
static void initCertificateResources()
{
    Q_INIT_RESOURCE(certificate);
}

namespace dialogue {

QString CertificateDefinitionPath()
{
    return QStringLiteral(":/dialogue/CertificateReport.json");
}

void LoadCertificate(TfrxReport &Report)
{
    initCertificateResources();
    Report.LoadFromFile(CertificateDefinitionPath());
}

void PrintCertificate(TfrxReport &Report, const QByteArray &SerialNo, const QByteArray &Deviation,
                      const QByteArray &SetDate)
{
    using report::Expression;
    Report.SetVariable(QStringLiteral("SERIALNO"),
                       Expression::quoted(DeviceText::decode(SerialNo)));
    Report.SetVariable(QStringLiteral("DEVIATION"),
                       Expression::quoted(DeviceText::decode(Deviation)));
    Report.SetVariable(QStringLiteral("SETDATE"), Expression::quoted(DeviceText::decode(SetDate)));
    Report.SetDescription(QString::fromLatin1(CertificateDescription));
    Report.PrepareReport();
    Report.Print();
}

} // namespace dialogue
