// A simulator configuration file as a user may write it: read and checked
// as a whole, refused with a reason naming the file, or read into devices,
// faults and a timeline whose values are in range.

#include "fuzz/FuzzInput.h"
#include "usbio/sim/SimConfig.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzCoreApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray json(reinterpret_cast<const char *>(data), qsizetype(size));
    usbio::SimConfig config;
    QString error;
    if (!config.parse(json, QStringLiteral("/fuzz/devices.json"), &error)) {
        FUZZ_CHECK(error.contains(QLatin1String("/fuzz/devices.json")), error.toUtf8());
        return 0;
    }
    for (const usbio::SimConfig::Device &device : config.devices) {
        FUZZ_CHECK(!device.id.isEmpty(), QByteArray());
        const usbio::SimDeviceSettings &s = device.settings;
        FUZZ_CHECK(s.serialNumber.size() == 9, s.serialNumber);
        FUZZ_CHECK(s.calibrationDate.size() == 8, s.calibrationDate);
        FUZZ_CHECK(s.deviation.size() <= 11, s.deviation);
        FUZZ_CHECK(!s.firmwareVersion.isEmpty() && !s.instanceId.contains(QLatin1Char('\\')),
                   s.firmwareVersion);
        FUZZ_CHECK(s.restartDelayMs >= 0 && s.eraseDelayMs >= 0 && s.lifeTickPeriodMs >= 0 &&
                       s.imageSize >= 0 && s.imageSize <= 64 * 1024 * 1024,
                   device.id.toUtf8());
        for (auto it = s.answers.cbegin(); it != s.answers.cend(); ++it)
            FUZZ_CHECK(!it.key().isEmpty() && !it.key().contains('\r'), it.key());
    }
    for (const usbio::SimConfig::Action &action : config.timeline) {
        FUZZ_CHECK(action.afterMs >= 0, QByteArray::number(action.afterMs));
        bool named = false;
        for (const usbio::SimConfig::Device &device : config.devices)
            named = named || device.id == action.device;
        FUZZ_CHECK(named, action.device.toUtf8());
    }
    return 0;
}
