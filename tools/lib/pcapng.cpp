// pcapng writer: see pcapng.h. Blocks are built little-endian, as the
// section header's byte-order magic says.
#include "pcapng.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace capture {

namespace {

constexpr uint32_t BLOCK_SECTION_HEADER = 0x0A0D0D0A;
constexpr uint32_t BLOCK_INTERFACE = 0x00000001;
constexpr uint32_t BLOCK_ENHANCED_PACKET = 0x00000006;
constexpr uint32_t BYTE_ORDER_MAGIC = 0x1A2B3C4D;
constexpr uint16_t OPT_END = 0;
constexpr uint16_t OPT_COMMENT = 1;
constexpr uint16_t OPT_SHB_USERAPPL = 4;
constexpr uint16_t OPT_IF_NAME = 2;
constexpr uint16_t OPT_IF_DESCRIPTION = 3;
constexpr uint16_t OPT_IF_TSRESOL = 9;
constexpr uint16_t OPT_IF_TSOFFSET = 14;
constexpr uint16_t OPT_EPB_FLAGS = 2;
constexpr uint8_t TSRESOL_NANOSECONDS = 9;
constexpr uint32_t FLAGS_INBOUND = 1;
constexpr uint32_t FLAGS_OUTBOUND = 2;
constexpr size_t LEN_BLOCK_TRAILER = 4;

void put16(std::vector<uint8_t>& b, uint16_t v)
{
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

void put32(std::vector<uint8_t>& b, uint32_t v)
{
    put16(b, static_cast<uint16_t>(v));
    put16(b, static_cast<uint16_t>(v >> 16));
}

void put64(std::vector<uint8_t>& b, uint64_t v)
{
    put32(b, static_cast<uint32_t>(v));
    put32(b, static_cast<uint32_t>(v >> 32));
}

void pad4(std::vector<uint8_t>& b)
{
    while (b.size() % 4 != 0) b.push_back(0);
}

void putOption(std::vector<uint8_t>& b, uint16_t code, const void* data, size_t len)
{
    put16(b, code);
    put16(b, static_cast<uint16_t>(len));
    const auto* p = static_cast<const uint8_t*>(data);
    b.insert(b.end(), p, p + len);
    pad4(b);
}

void putText(std::vector<uint8_t>& b, uint16_t code, const std::string& text)
{
    if (!text.empty()) putOption(b, code, text.data(), text.size());
}

// Starts a block: type and a length patched by finishBlock.
std::vector<uint8_t> startBlock(uint32_t type)
{
    std::vector<uint8_t> b;
    put32(b, type);
    put32(b, 0);
    return b;
}

void finishBlock(std::vector<uint8_t>& b)
{
    put16(b, OPT_END);
    put16(b, 0);
    const auto total = static_cast<uint32_t>(b.size() + LEN_BLOCK_TRAILER);
    put32(b, total);
    for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<uint8_t>(total >> (8 * i));
}

}  // namespace

PcapngWriter::~PcapngWriter() { close(); }

bool PcapngWriter::open(const std::string& path, const std::string& application, std::string* error,
                        bool append)
{
    close();
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), 0644);
    if (fd < 0) {
        if (error) *error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    std::vector<uint8_t> b = startBlock(BLOCK_SECTION_HEADER);
    put32(b, BYTE_ORDER_MAGIC);
    put16(b, 1);  // version 1.0
    put16(b, 0);
    put64(b, UINT64_MAX);  // section length not known: the file grows as it runs
    putText(b, OPT_SHB_USERAPPL, application);
    finishBlock(b);
    std::lock_guard<std::mutex> lock(mutex_);
    fd_ = fd;
    interfaces_ = 0;
    failed_ = false;
    if (!writeBlock(b)) {
        if (error) *error = "cannot write " + path + ": " + std::strerror(errno);
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    return true;
}

int PcapngWriter::addInterface(const std::string& name, uint16_t linkType,
                               const std::string& description)
{
    std::vector<uint8_t> b = startBlock(BLOCK_INTERFACE);
    put16(b, linkType);
    put16(b, 0);
    put32(b, 0);  // no snapshot length: units are kept whole
    putText(b, OPT_IF_NAME, name);
    putText(b, OPT_IF_DESCRIPTION, description);
    putOption(b, OPT_IF_TSRESOL, &TSRESOL_NANOSECONDS, 1);
    std::lock_guard<std::mutex> lock(mutex_);
    if (epochOffset_ != 0) {
        std::vector<uint8_t> offset;
        put64(offset, static_cast<uint64_t>(epochOffset_));
        putOption(b, OPT_IF_TSOFFSET, offset.data(), offset.size());
    }
    finishBlock(b);
    if (fd_ < 0 || !writeBlock(b)) return -1;
    return interfaces_++;
}

bool PcapngWriter::writePacket(int interface, uint64_t timestampNs, Direction dir,
                               const uint8_t* data, size_t len, const char* comment)
{
    std::vector<uint8_t> b = startBlock(BLOCK_ENHANCED_PACKET);
    b.reserve(len + 64);
    put32(b, static_cast<uint32_t>(interface));
    put32(b, static_cast<uint32_t>(timestampNs >> 32));
    put32(b, static_cast<uint32_t>(timestampNs));
    put32(b, static_cast<uint32_t>(len));
    put32(b, static_cast<uint32_t>(len));
    b.insert(b.end(), data, data + len);
    pad4(b);
    const uint32_t flags = dir == Direction::Inbound ? FLAGS_INBOUND : FLAGS_OUTBOUND;
    std::vector<uint8_t> flagBytes;
    put32(flagBytes, flags);
    putOption(b, OPT_EPB_FLAGS, flagBytes.data(), flagBytes.size());
    if (comment != nullptr) putText(b, OPT_COMMENT, comment);
    finishBlock(b);
    std::lock_guard<std::mutex> lock(mutex_);
    if (interface < 0 || interface >= interfaces_) return false;
    return writeBlock(b);
}

void PcapngWriter::setBatching(bool on)
{
    if (!on) flush();
    std::lock_guard<std::mutex> lock(mutex_);
    batching_ = on;
}

void PcapngWriter::flush()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ >= 0 && !batch_.empty()) writeOut(batch_.data(), batch_.size());
    batch_.clear();
}

void PcapngWriter::close()
{
    flush();
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool PcapngWriter::writeBlock(const std::vector<uint8_t>& block)
{
    if (fd_ < 0 || failed_) return false;
    if (!batching_) return writeOut(block.data(), block.size());
    batch_.insert(batch_.end(), block.begin(), block.end());
    if (batch_.size() < MAX_BATCH) return true;
    const bool ok = writeOut(batch_.data(), batch_.size());
    batch_.clear();
    return ok;
}

bool PcapngWriter::writeOut(const uint8_t* data, size_t len)
{
    if (failed_) return false;
    size_t done = 0;
    while (done < len) {
        const ssize_t n = ::write(fd_, data + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // A block written in part would make the rest unreadable: stop here.
            failed_ = true;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace capture
