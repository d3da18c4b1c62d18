#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// The generations of the Vemo devices, one row each. Every fact that tells
// one generation from another is in its row; the USB identity, the registry
// probe, the window's settings per device, the firmware download, the
// simulator, the help text and the package's udev rule and AppStream data
// all read it from here. Adding a generation is adding a row to
// GenerationTable::standard() (docs/architecture.md, "Adding a generation").
namespace generations {

// The maker's USB vendor id, the same for every generation.
constexpr quint16 kVendorId = 0x5E1A;

// One generation.
struct Descriptor
{
    // The device name: what the registry probe names a device of this
    // generation, the device list shows, a simulator file's "generation"
    // says (in any letter case), and the firmware's version answer begins
    // with ("Vemo2 firmware V2.10").
    QString name;
    // Its USB product id (vendor kVendorId).
    quint16 productId = 0;
    // The file dialog's filter when such a device is opened
    // ("description|name;name").
    QString fileFilter;
    // The installer opening such a device offers when the file field is
    // empty and the file exists: a path from the root of the file system.
    QString defaultFirmwareFile;
    // How often the loader request is repeated during an update, in ms.
    int bwfIntervalMs = 0;
    // The image its installer leaves in the temporary directory.
    QString imageFileName;
    // The installer the firmware download fetches, and the path of its
    // address on the maker's web server.
    QString installerFileName;
    QString installerServerPath;
    // The firmware version a simulated device of this generation runs when
    // its file names none ("major.minor").
    QByteArray simulatedFirmware;
};

class GenerationTable
{
public:
    explicit GenerationTable(QList<Descriptor> rows);

    // The generations the program serves: Vemo, Vemo2 and Vemo3.
    static const GenerationTable &standard();

    const QList<Descriptor> &rows() const { return m_rows; }
    int size() const { return int(m_rows.size()); }
    // The first row: its settings serve any device name the table lacks.
    const Descriptor &first() const { return m_rows.first(); }

    // The row of this exact, case-sensitive device name; -1 / null for
    // any other name.
    int indexOfName(const QString &name) const;
    const Descriptor *byName(const QString &name) const;
    // The row of a name in any letter case ("VEMO2"), as simulator files
    // may write it; -1 when none.
    int indexOfNameIgnoringCase(const QString &name) const;
    // The settings for a device name: its row, or the first row for any
    // other name (another letter case, an instance path, empty).
    const Descriptor &settingsFor(const QString &deviceName) const;
    // The row of a USB product id of the vendor; -1 / null for others.
    int indexOfProduct(quint16 productId) const;
    const Descriptor *byProductId(quint16 productId) const;
    // The row a firmware file's name names: its image or its installer
    // (vemo2.bin, VEMO2.EXE), in any letter case, in any folder; null for a
    // name that names none (firmware-2.11.bin).
    const Descriptor *namedByFile(const QString &fileName) const;

    // The device names in the table's order.
    QStringList names() const;
    // "Vemo, Vemo2 and Vemo3".
    QString namesText() const;

    // What makes the table unusable, one line each: no row, an empty or
    // repeated name, a repeated product id, a file name two rows share (a
    // file would name two generations), a period that is not positive.
    // Empty for a sound table.
    QStringList faults() const;

private:
    QList<Descriptor> m_rows;
};

// The table the program reads: standard(), unless a test has put another
// one in its place with UseTable.
const GenerationTable &table();

// For its lifetime, table() is the given table, which must outlive it: a
// test adds a generation to a copy of the standard table and sees the
// program follow. Made and destroyed on the thread that reads the table,
// while nothing holds a row of the one it replaces.
class UseTable
{
public:
    explicit UseTable(const GenerationTable &table);
    ~UseTable();
    UseTable(const UseTable &) = delete;
    UseTable &operator=(const UseTable &) = delete;

private:
    const GenerationTable *m_previous;
};

// "a, b and c" (conjunction " and "), "a or b" (" or "), "a".
QString listText(const QStringList &items, const QString &conjunction);

// The generation's USB ids as Windows writes them in a device instance
// path: "VID_5E1A&PID_088A".
QString hardwareId(const Descriptor &generation);
// The registry key under HKEY_LOCAL_MACHINE under which the Windows driver
// keeps one subkey per device instance of the generation it has installed:
// "SYSTEM\CurrentControlSet\Enum\USB\Vid_5e1a&Pid_088a".
QString driverKey(const Descriptor &generation);

} // namespace generations
