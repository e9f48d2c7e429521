#include "platform/SystemMessage.h"

#include <cstring>
#include <utility>

#include "platform/LastError.h"

namespace plat {
namespace {

struct MessageEntry {
    uint32_t code;
    const char* text;
};

// Texts of this system's own status codes and of the error numbers the
// layer produces.  Sorted only for the reader; the lookup is linear and
// runs on error paths alone.
constexpr MessageEntry kMessages[] = {
    {0xC7210001u, "Not enough memory is available to complete the operation."},
    {0xC7210002u, "An argument passed to the library is not valid."},
    {0xC7210003u, "The data is not in the expected format."},
    {0xC7210004u, "A memory allocation failed."},
    {0xC7210005u, "The object is not in a state that allows the operation."},
    {0xC7210006u, "The buffer supplied by the caller is too small."},
    {0xC7210007u, "The data could not be read."},
    {0xC7210008u, "The end of the structure has been reached."},
    {0xC7210009u, "The dynamic library is not in a state that allows the operation."},
    {0xC721000Au, "The file could not be found."},
    {0xC721000Bu, "The path could not be found."},
    {0xC721000Cu, "The settings store has no file name."},
    {0xC721000Du, "The settings file could not be read or written."},
    {0xC721000Eu, "The operation is not supported."},
    {0xC721000Fu, "The file could not be opened."},
    {0xC7210010u, "The version information is too long."},
    {0xC7210011u, "The buffer is in use by other owners."},
    {0xC7210012u, "Not enough data is left to read."},
    {0xC7210013u, "The value is out of range."},
    {0xC7210014u, "The text holds a character that is not allowed."},
    {0xC7210015u, "The text conversion failed."},
    {0xC7210016u, "The text holds a character beyond the Unicode range."},
    {0xC7210017u, "The text holds an unpaired surrogate."},
    {0xC7210018u, "The text conversion is not possible."},
    {0xC7210019u, "The text holds a malformed sequence."},
    {0xC721001Au, "The text holds an encoded surrogate."},
    {0xC721001Bu, "The operation timed out."},
    {0xC721001Cu, "Access is denied."},
    {0xC721001Du, "The file is in use by another process."},
    {0xC721001Eu, "The disk is full."},
    {0xC721001Fu, "There is not enough space on the disk."},
    {0xC7210020u, "The object already exists."},
    {0xC7210021u, "The object was not found."},
    {0xC7210022u, "The operation was cancelled."},
    {0xC7210023u, "The connection was closed."},
    {0xC7210024u, "The name is not valid."},
    {0xC7210025u, "The handle is not valid."},
    {0xC7210026u, "The operation is already in progress."},
    {0xC7210027u, "The resource is busy."},
    {0xC7210028u, "The limit has been reached."},
    {0xC7210029u, "The checksum does not match."},
    {0xC721002Au, "The version is not supported."},
    {0xC721002Bu, "The request is not valid."},
    {0xC721002Cu, "An internal error occurred."},
    {0xC721002Du, "Component status %1."},
    {0xC721002Eu, "Status %1 reported by an outside component."},
    {0xC7210032u, "The text ends in the middle of a character."},
    {0xC7210034u, "The character cannot be encoded."},
    {0xC7270000u + 10004u, "A blocking operation was interrupted."},
    {0xC7270000u + 10009u, "The socket handle is not valid."},
    {0xC7270000u + 10013u, "Access to the socket was denied."},
    {0xC7270000u + 10014u, "A bad address was passed to the socket call."},
    {0xC7270000u + 10022u, "An invalid argument was supplied to the socket call."},
    {0xC7270000u + 10024u, "Too many open sockets."},
    {0xC7270000u + 10035u, "The socket operation would block."},
    {0xC7270000u + 10036u, "A blocking operation is now in progress."},
    {0xC7270000u + 10038u, "The operation was attempted on something that is not a socket."},
    {0xC7270000u + 10040u, "The message was too long."},
    {0xC7270000u + 10048u, "Only one usage of each socket address is normally permitted."},
    {0xC7270000u + 10049u, "The requested address is not valid in its context."},
    {0xC7270000u + 10050u, "The network is down."},
    {0xC7270000u + 10051u, "The network cannot be reached."},
    {0xC7270000u + 10053u, "The connection was aborted by the local host."},
    {0xC7270000u + 10054u, "The connection was reset by the remote host."},
    {0xC7270000u + 10055u, "No buffer space is available for the socket operation."},
    {0xC7270000u + 10057u, "The socket is not connected."},
    {0xC7270000u + 10060u, "The connection attempt timed out."},
    {0xC7270000u + 10061u,
     "No connection could be made because the target machine actively refused it."},
    {0xC7270000u + 10065u, "The host cannot be reached."},
    {0xC7270000u + 10093u, "The socket library is not initialised."},
    {0xC7270000u + 11001u, "The host is not known."},
    {kErrInvalidFunction, "Incorrect function."},
    {kErrFileNotFound, "The system cannot find the file specified."},
    {kErrPathNotFound, "The system cannot find the path specified."},
    {kErrTooManyOpenFiles, "The system cannot open the file."},
    {kErrAccessDenied, "Access is denied."},
    {kErrInvalidHandle, "The handle is invalid."},
    {kErrNotEnoughMemory, "Not enough storage is available to process this command."},
    {kErrInvalidData, "The data is invalid."},
    {kErrOutOfMemory, "Not enough storage is available to complete this operation."},
    {kErrWriteFault, "The system cannot write to the specified device."},
    {kErrReadFault, "The system cannot read from the specified device."},
    {kErrSharingViolation,
     "The process cannot access the file because it is being used by another process."},
    {kErrHandleDiskFull, "The disk is full."},
    {kErrNotSupported, "The request is not supported."},
    {kErrFileExists, "The file exists."},
    {kErrInvalidParameter, "The parameter is incorrect."},
    {kErrBrokenPipe, "The pipe has been ended."},
    {kErrDiskFull, "There is not enough space on the disk."},
    {kErrInsufficientBuffer, "The data area passed to a system call is too small."},
    {kErrModNotFound, "The specified module could not be found."},
    {kErrProcNotFound, "The specified procedure could not be found."},
    {kErrDirNotEmpty, "The directory is not empty."},
    {kErrBusy, "The requested resource is in use."},
    {kErrBadFileType, "The file type being saved or retrieved has been blocked."},
    {kErrAlreadyExists, "Cannot create a file when that file already exists."},
    {kErrMoreData, "More data is available."},
    {kErrWaitTimeout, "The wait operation timed out."},
    {kErrNoMoreItems, "No more data is available."},
    {kErrStoppedOnSymlink, "The create operation stopped after reaching a symbolic link."},
    {kErrTimeout, "This operation returned because the timeout period expired."},
};

const char* FindText(uint32_t code) {
    for (const auto& entry : kMessages) {
        if (entry.code == code) {
            return entry.text;
        }
    }
    return nullptr;
}

}  // namespace

std::string WrapText(const std::string& text, unsigned width) {
    if (width == 0) {
        return text;
    }
    std::string out;
    std::string word;
    unsigned column = 0;
    auto flushWord = [&]() {
        if (word.empty()) {
            return;
        }
        if (column > 0 && column + word.size() > width) {
            // Drop the blank that ended the previous line.
            while (!out.empty() && out.back() == ' ') {
                out.pop_back();
                --column;
            }
            out.push_back('\n');
            column = 0;
        }
        out += word;
        column += static_cast<unsigned>(word.size());
        word.clear();
    };
    for (char c : text) {
        if (c == ' ') {
            flushWord();
            if (column < width) {
                out.push_back(' ');
                ++column;
            }
        } else if (c == '\t') {
            flushWord();
            unsigned next = (column / 8 + 1) * 8;
            if (next >= width) {
                out.push_back('\n');
                column = 0;
            } else {
                out.append(next - column, ' ');
                column = next;
            }
        } else if (static_cast<unsigned char>(c) < 0x20) {
            flushWord();
            if (c == '\n' || c == '\r') {
                // A line break of the source text: one line feed for a
                // CR LF pair, and none right after a wrap.
                if (!out.empty() && out.back() != '\n') {
                    out.push_back('\n');
                    column = 0;
                }
            } else {
                out.push_back('\n');
                column = 0;
            }
        } else {
            word.push_back(c);
        }
    }
    flushWord();
    while (!out.empty() && (out.back() == ' ' || out.back() == '\n')) {
        out.pop_back();
    }
    return out;
}

uint32_t LookupSystemMessage(uint32_t code, const std::string* insert, unsigned maxWidth,
                             std::string& out) {
    const char* text = FindText(code);
    if (text == nullptr) {
        return kErrMessageNotFound;
    }
    std::string message(text);
    size_t at = message.find("%1");
    if (at != std::string::npos) {
        message.replace(at, 2, insert != nullptr ? *insert : std::string());
    }
    if (maxWidth == 0) {
        out = message + "\r\n";
    } else {
        out = WrapText(message, maxWidth);
    }
    return 0;
}

}  // namespace plat
