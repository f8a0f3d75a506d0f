#include "containerwriter.h"

#include <stdint.h> // lzlib.h expects the fixed-width integer types to be declared first

#include <lzlib.h>
#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <memory>

namespace publish {

namespace {

void appendLeb128(QByteArray& out, quint64 value) {
    do {
        quint8 byte = value & 0x7f;
        value >>= 7;
        if (value != 0) {
            byte |= 0x80;
        }
        out.append(static_cast<char>(byte));
    } while (value != 0);
}

bool deflateRaw(const QByteArray& content, int level, QByteArray& payload) {
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
        return false;
    }
    payload.resize(static_cast<int>(deflateBound(&stream, static_cast<uLong>(content.size()))));
    stream.next_in = const_cast<Bytef*>(reinterpret_cast<const Bytef*>(content.constData()));
    stream.avail_in = static_cast<uInt>(content.size());
    stream.next_out = reinterpret_cast<Bytef*>(payload.data());
    stream.avail_out = static_cast<uInt>(payload.size());
    const int result = deflate(&stream, Z_FINISH);
    payload.truncate(static_cast<int>(stream.total_out));
    deflateEnd(&stream);
    return result == Z_STREAM_END;
}

bool lzipMember(const QByteArray& content, int level, QByteArray& payload) {
    // The match length of lzip's levels, with the dictionary reduced to the data's size as lzip does
    // for files.
    static const int MATCH_LENGTHS[10] = {16, 5, 6, 8, 12, 20, 36, 68, 132, 273};
    const int dictionary =
        std::clamp(static_cast<int>(content.size()), LZ_min_dictionary_size(), 32 * 1024 * 1024);
    struct TCloser {
        void operator()(LZ_Encoder* encoder) const { LZ_compress_close(encoder); }
    };
    std::unique_ptr<LZ_Encoder, TCloser> encoder(
        LZ_compress_open(dictionary, MATCH_LENGTHS[level], INT64_MAX));
    if (!encoder || LZ_compress_errno(encoder.get()) != LZ_ok) {
        return false;
    }
    payload.clear();
    const auto* input = reinterpret_cast<const uint8_t*>(content.constData());
    int consumed = 0;
    bool finished = false;
    uint8_t buffer[65536];
    while (LZ_compress_finished(encoder.get()) != 1) {
        if (consumed < content.size()) {
            const int room = LZ_compress_write_size(encoder.get());
            const int piece = std::min(room, static_cast<int>(content.size()) - consumed);
            if (piece > 0) {
                const int written = LZ_compress_write(encoder.get(), input + consumed, piece);
                if (written < 0) {
                    return false;
                }
                consumed += written;
            }
        } else if (!finished) {
            if (LZ_compress_finish(encoder.get()) < 0) {
                return false;
            }
            finished = true;
        }
        const int read = LZ_compress_read(encoder.get(), buffer, sizeof(buffer));
        if (read < 0) {
            return false;
        }
        payload.append(reinterpret_cast<const char*>(buffer), read);
    }
    return true;
}

bool lzmaRaw(const QByteArray& content, quint32 dictionary, int level, QByteArray& payload) {
    lzma_options_lzma options;
    if (lzma_lzma_preset(&options, static_cast<uint32_t>(level))) {
        return false;
    }
    options.dict_size = dictionary;
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    // Properties: the lc/lp/pb byte and the dictionary size, 32-bit little-endian.
    uint8_t properties[5];
    if (lzma_properties_encode(&filters[0], properties) != LZMA_OK) {
        return false;
    }
    lzma_stream stream = LZMA_STREAM_INIT;
    if (lzma_raw_encoder(&stream, filters) != LZMA_OK) {
        return false;
    }
    QByteArray lzmaData;
    lzmaData.resize(static_cast<int>(content.size() + content.size() / 2 + 65536));
    stream.next_in = reinterpret_cast<const uint8_t*>(content.constData());
    stream.avail_in = static_cast<size_t>(content.size());
    stream.next_out = reinterpret_cast<uint8_t*>(lzmaData.data());
    stream.avail_out = static_cast<size_t>(lzmaData.size());
    lzma_ret result = LZMA_OK;
    while (result == LZMA_OK) {
        result = lzma_code(&stream, LZMA_FINISH);
    }
    const quint64 streamLength = stream.total_out;
    lzma_end(&stream);
    if (result != LZMA_STREAM_END) {
        return false;
    }
    lzmaData.truncate(static_cast<int>(streamLength));
    payload.clear();
    payload.append(reinterpret_cast<const char*>(properties), sizeof(properties));
    // Length of the LZMA stream, 64-bit little-endian (the decoder does not read it).
    for (int shift = 0; shift < 64; shift += 8) {
        payload.append(static_cast<char>((streamLength >> shift) & 0xff));
    }
    payload.append(lzmaData);
    return true;
}

} // namespace

bool writeContainer(int codec, const QByteArray& content, QByteArray& container, QString& error, int level) {
    if (level < 0 || level > 9) {
        error = QStringLiteral("level %1 is outside 0 to 9").arg(level);
        return false;
    }
    QByteArray payload;
    bool encoded = false;
    switch (codec) {
    case 0:
        payload = content;
        encoded = true;
        break;
    case 3:
        encoded = deflateRaw(content, level, payload);
        break;
    case 4:
        encoded = lzipMember(content, level, payload);
        break;
    case 5:
        encoded = lzmaRaw(content, 1u << 20, level, payload);
        break;
    case 10:
        encoded = lzmaRaw(content, 1u << 25, level, payload);
        break;
    default:
        error = QStringLiteral("codec %1 cannot be written (supported: 0, 3, 4, 5, 10)").arg(codec);
        return false;
    }
    if (!encoded) {
        error = QStringLiteral("the encoder of codec %1 failed").arg(codec);
        return false;
    }
    container.clear();
    container.append(static_cast<char>(0x70));
    container.append(static_cast<char>(codec));
    appendLeb128(container, static_cast<quint64>(content.size()));
    appendLeb128(container, static_cast<quint64>(payload.size()));
    container.append(payload);
    return true;
}

} // namespace publish
