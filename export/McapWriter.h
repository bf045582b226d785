#pragma once
// A small MCAP writer: one file, written front to back, that a reader can
// seek in without scanning. Messages go into zstd-compressed chunks, each
// followed by its message indexes; the summary at the end repeats schemas and
// channels and holds the statistics, chunk, attachment and metadata indexes,
// and the summary offsets. Every CRC the format has is filled in.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace mcap_export {

uint32_t crc32(const uint8_t* data, size_t size, uint32_t previous = 0);

class McapWriter {
public:
    // Records are collected into chunks of about chunkBytes before compressing.
    explicit McapWriter(size_t chunkBytes = 4 << 20, int zstdLevel = 1);
    ~McapWriter();
    McapWriter(const McapWriter&) = delete;
    McapWriter& operator=(const McapWriter&) = delete;

    // Creates the file (truncating it) and writes the magic and the header.
    bool open(const std::string& path, const std::string& profile, const std::string& library);
    uint16_t addSchema(const std::string& name, const std::string& encoding, const std::string& data);
    uint16_t addChannel(uint16_t schemaId, const std::string& topic, const std::string& messageEncoding);
    bool addMessage(uint16_t channelId, uint64_t logTime, uint64_t publishTime, const std::vector<uint8_t>& data);
    bool addAttachment(const std::string& name, const std::string& mediaType, uint64_t logTime, const std::string& data);
    bool addMetadata(const std::string& name, const std::vector<std::pair<std::string, std::string>>& values);
    // Writes the last chunk, the summary and the footer, and closes the file
    // (fsync first). False, with error(), on any failed write since open().
    bool close();

    int error() const { return error_; }
    uint64_t bytesWritten() const { return position_; }

private:
    struct Schema { uint16_t id; std::string name, encoding, data; };
    struct Channel { uint16_t id, schemaId; std::string topic, encoding; };
    struct ChunkIndex {
        uint64_t start, end, offset, length;
        std::map<uint16_t, uint64_t> messageIndexOffsets;
        uint64_t messageIndexLength, compressedSize, uncompressedSize;
    };
    struct AttachmentIndex { uint64_t offset, length, logTime, dataSize; std::string name, mediaType; };
    struct MetadataIndex { uint64_t offset, length; std::string name; };

    void write(const std::vector<uint8_t>& bytes);
    bool flushChunk();
    static std::vector<uint8_t> schemaRecord(const Schema& schema);
    static std::vector<uint8_t> channelRecord(const Channel& channel);

    size_t chunkBytes_;
    int zstdLevel_;
    int fd_ = -1;
    int error_ = 0;
    uint64_t position_ = 0;
    uint32_t dataCrc_ = 0;       // of everything before the data end record
    uint32_t summaryCrc_ = 0;    // of the summary, from its first record
    bool inSummary_ = false;
    std::vector<Schema> schemas_;
    std::vector<Channel> channels_;
    // The open chunk: its uncompressed records and, per channel, (log time, offset).
    std::vector<uint8_t> chunk_;
    std::map<uint16_t, std::vector<std::pair<uint64_t, uint64_t>>> chunkIndex_;
    uint64_t chunkStart_ = 0, chunkEnd_ = 0;
    std::vector<ChunkIndex> chunks_;
    std::vector<AttachmentIndex> attachments_;
    std::vector<MetadataIndex> metadata_;
    std::map<uint16_t, uint64_t> messageCounts_;
    uint64_t messageCount_ = 0, firstTime_ = 0, lastTime_ = 0;
    std::map<uint16_t, uint32_t> sequence_;
};

} // namespace mcap_export
