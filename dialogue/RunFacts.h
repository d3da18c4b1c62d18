#pragma once

#include "usbio/Component.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace dialogue {

// What a production run found out about its device and its image while it
// ran, for the record of the run (--record). Each fact is noted where it
// becomes known; a fact never learnt stays unset, and is written as
// unknown, never guessed.
class RunFacts
{
public:
    // The device the run chose (the one listed, or the one named), as its
    // descriptors describe it then; name is the generation the list gives.
    // The first device noted is the run's: a later note (the same device
    // back from its loader) only fills in what was not known.
    void noteDevice(const QString &name, const usbio::DeviceDescription &description);
    // The image as the file was when the run looked at it, or as the
    // transfer read it (which then started).
    void noteImage(const QString &path, const QByteArray &bytes);
    void noteTransferStarted() { FTransferStarted = true; }
    // The bytes the device took of the image (all, or how far it got).
    void noteBytesTaken(qint64 bytes) { FBytesTaken = bytes; }
    // The device back after its update: its version in its descriptors and
    // its answer to the version query.
    void noteFirmwareAfter(quint16 release) { FFirmwareAfter = usbio::releaseText(release); }
    void noteFirmwareAnswer(const QString &answer) { FFirmwareAnswer = answer; }
    // The calibration reply (deviation and date) and the certificate file
    // written for it (none when it went to a printer or failed).
    void noteCalibration(const QString &deviation, const QString &date);
    void noteCertificateFile(const QString &path) { FCertificateFile = path; }

    const std::optional<QString> &generation() const { return FGeneration; }
    const std::optional<QString> &serialNumber() const { return FSerialNumber; }
    const std::optional<QString> &busPath() const { return FBusPath; }
    const std::optional<QString> &firmwareBefore() const { return FFirmwareBefore; }
    const std::optional<QString> &firmwareAfter() const { return FFirmwareAfter; }
    const std::optional<QString> &firmwareAnswer() const { return FFirmwareAnswer; }
    const std::optional<QString> &imagePath() const { return FImagePath; }
    const std::optional<qint64> &imageSize() const { return FImageSize; }
    // Lower-case hex digits.
    const std::optional<QString> &imageSha256() const { return FImageSha256; }
    const std::optional<qint64> &bytesTaken() const { return FBytesTaken; }
    bool transferStarted() const { return FTransferStarted; }
    const std::optional<QString> &deviation() const { return FDeviation; }
    const std::optional<QString> &calibrationDate() const { return FCalibrationDate; }
    const std::optional<QString> &certificateFile() const { return FCertificateFile; }

private:
    std::optional<QString> FGeneration;
    std::optional<QString> FSerialNumber;
    std::optional<QString> FBusPath;
    std::optional<QString> FFirmwareBefore;
    std::optional<QString> FFirmwareAfter;
    std::optional<QString> FFirmwareAnswer;
    std::optional<QString> FImagePath;
    std::optional<qint64> FImageSize;
    std::optional<QString> FImageSha256;
    std::optional<qint64> FBytesTaken;
    bool FTransferStarted = false;
    std::optional<QString> FDeviation;
    std::optional<QString> FCalibrationDate;
    std::optional<QString> FCertificateFile;
};

} // namespace dialogue
