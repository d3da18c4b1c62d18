#pragma once

#include "generations/GenerationTable.h"

#include <QByteArray>
#include <QtGlobal>

#include <optional>

// Who a Vemo device is on the bus: its ids, its one interface with three
// bulk endpoints, and the packet sizes of its firmware. The simulated bus,
// the libusb backend and the kernel-level mock of the tests all take them
// from here.
namespace usbio {

// A device generation: the index of its row in the generation table
// (generations/GenerationTable.cpp), where its product id, name and the
// rest are. The three generations the program was made for have a name
// here; a generation added to the table is Generation(its row) until it is
// given one, and works without.
enum class Generation
{
    Vemo,
    Vemo2,
    Vemo3,
};

constexpr quint16 kVendorId = generations::kVendorId;

// The row of a generation in the table in use; a generation outside the
// table is taken as the first.
const generations::Descriptor &descriptor(Generation generation);
quint16 productId(Generation generation);
// The generation of a product id of the vendor; none for other products.
std::optional<Generation> generationOfProduct(quint16 productId);
// "Vemo", "Vemo2", "Vemo3": the table's name of the generation.
QByteArray generationName(Generation generation);

// The product ids of the three named generations, as the table has them.
inline const quint16 kVemoProductId = productId(Generation::Vemo);
inline const quint16 kVemo2ProductId = productId(Generation::Vemo2);
inline const quint16 kVemo3ProductId = productId(Generation::Vemo3);

// The device-interface guid the Vemo driver registers its devices under.
constexpr const char *kDeviceInterfaceGuid = "{7A41C9E2-5B3D-4F60-9C18-2E6D4B90A7F3}";

// Interface 0, alternate setting 0, of the device's one configuration.
constexpr int kInterfaceNumber = 0;
constexpr quint8 kInEndpoint = 0x81;      // everything the device sends
constexpr quint8 kCommandEndpoint = 0x01; // text commands
constexpr quint8 kImageEndpoint = 0x02;   // firmware images, in the loader
// wMaxPacketSize of each of the three bulk endpoints (full speed).
constexpr int kMaxPacketSize = 64;
// The firmware sends at most this many bytes per IN packet.
constexpr int kInPacketSize = 16;
// The host writes commands in zero-filled pieces of this size.
constexpr int kCommandPieceSize = 16;
// The loader takes the image in chunks of this size; a shorter one ends it.
constexpr int kImageChunkSize = 64;

// bcdDevice of the loader, which answers "loader V1.00".
constexpr quint16 kLoaderRelease = 0x0100;
// The string index of the serial number in the firmware's descriptors.
constexpr quint8 kSerialStringIndex = 3;

// bcdDevice for a firmware version "major.minor" ("2.10" is 0x0210): each
// part in decimal, 0 to 99; 0 for a version that does not fit.
quint16 releaseOfVersion(const QByteArray &version);

// The device descriptor followed by the configuration descriptor (with its
// interface and endpoint descriptors), as the device answers them. release
// is bcdDevice; serialIndex the serial number's string index (0: none).
QByteArray deviceDescriptors(Generation generation, quint16 release = kLoaderRelease,
                             quint8 serialIndex = 0);

} // namespace usbio
