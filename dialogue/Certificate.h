#pragma once

#include <QByteArray>
#include <QString>

class TfrxReport;

namespace dialogue {

// The accuracy certificate: a report definition in the program's resources
// (with the maker's logo beside it) and the fill-and-print of a calibration.

// Where the definition lies.
QString CertificateDefinitionPath();

// The description every printed certificate carries.
inline constexpr const char *CertificateDescription = "Orvik Vemo Acccuracy Certificate";

// Loads the certificate's definition into Report; raises report::ReportError.
void LoadCertificate(TfrxReport &Report);

// Sets the variables SERIALNO, DEVIATION and SETDATE to the three device
// texts (Windows-1252) as text literals, so a quote in them prints as
// received, sets the description, prepares the certificate and prints it
// without a dialog. Any failure raises report::ReportError and ends the
// operation at that step.
void PrintCertificate(TfrxReport &Report, const QByteArray &SerialNo, const QByteArray &Deviation,
                      const QByteArray &SetDate);

} // namespace dialogue
