#pragma once

// What the link and its two writing parts (TCommandSender, TFileTransfer)
// share inside the link: the geometry of the three pipes, and how a closure
// is called.

#include <QtGlobal>

#include <utility>

namespace devicelink {

// The three pipes and the component settings of each.
constexpr quint8 kReadEndpoint = 0x81;
constexpr quint8 kCommandEndpoint = 0x01;
constexpr quint8 kFileEndpoint = 0x02;
constexpr int kReadBufferSize = 16;
constexpr int kCommandPieceSize = 16;
constexpr int kFileChunkSize = 64;
// Buffers and error limit of start reading and start writing, on every pipe.
constexpr int kBuffers = 5;
constexpr int kErrorLimit = 5;
// The tag every write data call carries.
constexpr quint32 kWriteTag = 0;
// The numeric setting applied to each component object at construction.
constexpr int kDeviceParameter = 50000;
// The largest transfer declared with the interface.
constexpr int kMaximumTransferSize = 64000;

// Calls a closure when it is set, through a copy: the handler may destroy
// the link or rebind the closure, and the one running must outlive it.
template <typename Closure, typename... Args> void callBack(const Closure &closure, Args &&...args)
{
    if (!closure)
        return;
    const Closure running = closure;
    running(std::forward<Args>(args)...);
}

} // namespace devicelink
