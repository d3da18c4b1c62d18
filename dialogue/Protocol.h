#pragma once

#include <QByteArray>

namespace dialogue {

// The device's text language as the program relies on it: the commands it
// sends on its own, the incoming texts it recognises and the layouts of the
// two replies it reads. Device text is 8-bit; every match is case-sensitive
// and exact. Positions in the comments count from 1.
namespace protocol {

constexpr char CR = '\r';

// Commands for the device's USB interface: 15 characters, sent without CR.
inline const QByteArray NewFirmwareQuery = QByteArrayLiteral("USB-Vemo:NSF?!!");
inline const QByteArray LoaderRequest = QByteArrayLiteral("USB-Vemo:BWF!!!");

// Device commands, CR included.
inline const QByteArray WindTest = QByteArrayLiteral("SP2W\r");
inline const QByteArray PrinterTest = QByteArrayLiteral("DTP123456789012345678901234\r");
inline const QByteArray SerialQuery = QByteArrayLiteral("DEVNR?\r");
inline const QByteArray CalibrationQuery = QByteArrayLiteral("ABGL?\r");
// "DTP" + a line sends the line to the device's printer channel; the echo
// mode uses it, except for this line, which is the device's own answer.
inline const QByteArray EchoPrefix = QByteArrayLiteral("DTP");
inline const QByteArray EchoAnswer = QByteArrayLiteral("DTP\r");

// "DEVNR" + 9-character serial number + CR.
QByteArray serialWrite(const QByteArray &serialNumber);
// "ABGL" + 8-character date (yy-mm-dd) + CR.
QByteArray calibrationDateWrite(const QByteArray &date);

// ---- Incoming texts ---------------------------------------------------------

// "BLANK" anywhere in a chunk: the host beeps.
bool holdsBlank(const QByteArray &chunk);
// "Flash is BLANK" anywhere in a chunk: the loader is ready for the image.
bool holdsLoaderReady(const QByteArray &chunk);
// A life tick: "VEMO:" at characters 1 to 5, or a running time of day with
// ":" at characters 3 and 6 and "." at character 9 (only these three are
// tested; a chunk too short to hold one of them does not match).
bool isLifeTick(const QByteArray &chunk);

// ---- Replies ------------------------------------------------------------------

// A line beginning with "DEVNR".
bool isSerialReply(const QByteArray &line);
// Serial reply accepted: 15 characters, or 14 whose 14th is not CR.
bool serialReplyAccepted(const QByteArray &line);
// Characters 6 to 14 of an accepted serial reply.
QByteArray serialOf(const QByteArray &line);

// A line beginning with "ABGL" that is 12 to 25 characters long, CR included.
bool isCalibrationReply(const QByteArray &line);
// Characters 5 to 12: the calibration date.
QByteArray calibrationDateOf(const QByteArray &line);
// Characters 14 to 24 (up to 11, fewer or none for a shorter line; a CR
// that falls into them is taken as it stands).
QByteArray deviationOf(const QByteArray &line);

} // namespace protocol
} // namespace dialogue
