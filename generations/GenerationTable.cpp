#include "generations/GenerationTable.h"

#include <QFileInfo>
#include <QHash>
#include <QSet>

namespace generations {

namespace {

const GenerationTable *g_inUse = nullptr;

QString hex4(quint16 id)
{
    return QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0'));
}

} // namespace

GenerationTable::GenerationTable(QList<Descriptor> rows) : m_rows(std::move(rows)) {}

const GenerationTable &GenerationTable::standard()
{
    // One row per generation, in the order the registry probe tries them.
    static const GenerationTable table({
        {
            QStringLiteral("Vemo"),                                 // name
            0x0889,                                                 // productId
            QStringLiteral("Vemo update files|vemo.exe;vemo.bin"),  // fileFilter
            QStringLiteral("/Homepage/orvik/download/uC/vemo.exe"), // defaultFirmwareFile
            20000,                                                  // bwfIntervalMs
            QStringLiteral("Vemo.bin"),                             // imageFileName
            QStringLiteral("vemo.exe"),                             // installerFileName
            QStringLiteral("/orvik/download/uC/vemo.exe"),          // installerServerPath
            "1.40",                                                 // simulatedFirmware
        },
        {
            QStringLiteral("Vemo2"),                                  // name
            0x088A,                                                   // productId
            QStringLiteral("Vemo2 update files|vemo2.exe;vemo2.bin"), // fileFilter
            QStringLiteral("/Homepage/orvik/download/uC/vemo2.exe"),  // defaultFirmwareFile
            30000,                                                    // bwfIntervalMs
            QStringLiteral("Vemo2.bin"),                              // imageFileName
            QStringLiteral("vemo2.exe"),                              // installerFileName
            QStringLiteral("/orvik/download/uC/vemo2.exe"),           // installerServerPath
            "2.10",                                                   // simulatedFirmware
        },
        {
            QStringLiteral("Vemo3"),                                  // name
            0x088B,                                                   // productId
            QStringLiteral("Vemo3 update files|vemo3.exe;vemo3.bin"), // fileFilter
            QStringLiteral("/Homepage/orvik/download/uC/vemo3.exe"),  // defaultFirmwareFile
            30000,                                                    // bwfIntervalMs
            QStringLiteral("Vemo3.bin"),                              // imageFileName
            QStringLiteral("vemo3.exe"),                              // installerFileName
            QStringLiteral("/orvik/download/uC/vemo3.exe"),           // installerServerPath
            "3.05",                                                   // simulatedFirmware
        },
    });
    return table;
}

int GenerationTable::indexOfName(const QString &name) const
{
    for (int i = 0; i < size(); ++i) {
        if (m_rows.at(i).name == name)
            return i;
    }
    return -1;
}

const Descriptor *GenerationTable::byName(const QString &name) const
{
    const int index = indexOfName(name);
    return index < 0 ? nullptr : &m_rows.at(index);
}

int GenerationTable::indexOfNameIgnoringCase(const QString &name) const
{
    for (int i = 0; i < size(); ++i) {
        if (m_rows.at(i).name.compare(name, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

const Descriptor &GenerationTable::settingsFor(const QString &deviceName) const
{
    const Descriptor *row = byName(deviceName);
    return row ? *row : first();
}

int GenerationTable::indexOfProduct(quint16 productId) const
{
    for (int i = 0; i < size(); ++i) {
        if (m_rows.at(i).productId == productId)
            return i;
    }
    return -1;
}

const Descriptor *GenerationTable::byProductId(quint16 productId) const
{
    const int index = indexOfProduct(productId);
    return index < 0 ? nullptr : &m_rows.at(index);
}

const Descriptor *GenerationTable::namedByFile(const QString &fileName) const
{
    const QString name = QFileInfo(fileName).fileName();
    for (const Descriptor &row : m_rows) {
        if (name.compare(row.imageFileName, Qt::CaseInsensitive) == 0 ||
            name.compare(row.installerFileName, Qt::CaseInsensitive) == 0)
            return &row;
    }
    return nullptr;
}

QStringList GenerationTable::names() const
{
    QStringList list;
    for (const Descriptor &row : m_rows)
        list << row.name;
    return list;
}

QString GenerationTable::namesText() const
{
    return listText(names(), QStringLiteral(" and "));
}

QStringList GenerationTable::faults() const
{
    QStringList found;
    if (m_rows.isEmpty())
        return {QStringLiteral("the table has no generation")};
    QSet<QString> names;
    QSet<quint16> products;
    QHash<QString, QString> files; // file name in lower case -> its generation
    for (const Descriptor &row : m_rows) {
        if (row.name.isEmpty())
            found << QStringLiteral("a generation has no name");
        else if (names.contains(row.name.toLower()))
            found << QStringLiteral("%1: the name is taken (in any letter case)").arg(row.name);
        names.insert(row.name.toLower());
        if (products.contains(row.productId))
            found
                << QStringLiteral("%1: product id %2 is taken").arg(row.name, hex4(row.productId));
        products.insert(row.productId);
        for (const QString &file : {row.imageFileName, row.installerFileName}) {
            if (file.isEmpty()) {
                found
                    << QStringLiteral("%1: an image or installer file name is empty").arg(row.name);
                continue;
            }
            const QString key = file.toLower();
            if (files.contains(key) && files.value(key) != row.name)
                found << QStringLiteral("%1: %2 names %3 already")
                             .arg(row.name, file, files.value(key));
            files.insert(key, row.name);
        }
        if (row.bwfIntervalMs <= 0)
            found << QStringLiteral("%1: the BWF period must be above 0 ms").arg(row.name);
    }
    return found;
}

const GenerationTable &table()
{
    return g_inUse ? *g_inUse : GenerationTable::standard();
}

UseTable::UseTable(const GenerationTable &table) : m_previous(g_inUse)
{
    g_inUse = &table;
}

UseTable::~UseTable()
{
    g_inUse = m_previous;
}

QString listText(const QStringList &items, const QString &conjunction)
{
    if (items.size() < 2)
        return items.join(QString());
    return items.mid(0, items.size() - 1).join(QStringLiteral(", ")) + conjunction + items.last();
}

QString hardwareId(const Descriptor &generation)
{
    return QStringLiteral("VID_%1&PID_%2")
        .arg(hex4(kVendorId), hex4(generation.productId))
        .toUpper();
}

QString driverKey(const Descriptor &generation)
{
    return QStringLiteral("SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_%1&Pid_%2")
        .arg(hex4(kVendorId), hex4(generation.productId));
}

} // namespace generations
