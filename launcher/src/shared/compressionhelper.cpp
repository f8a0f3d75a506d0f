#include "shared/compressionhelper.h"

#include "shared/crushdecoder.h"
#include "shared/cscdecoder.h"
#include "shared/zpaqdecoder.h"

#include <stdint.h> // lzlib.h expects the fixed-width integer types to be declared first

#include <lzlib.h>
#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace shared {

namespace {

const char* const DECOMPRESSION_ERROR_TEXT = "Invalid input data could not be decompressed";

// Smallest dictionary the LZMA decoder accepts.
constexpr quint32 LZMA_MIN_DICTIONARY = 4096;

struct TContainerHeader {
    quint8 codec = 0;
    quint64 unpackedLength = 0;
    const quint8* payload = nullptr;
    quint64 payloadLength = 0;
};

// Reads an unsigned LEB128 number of at most 10 bytes; false when it runs past the end of the
// input or does not fit into 64 bits.
bool readLeb128(const quint8*& position, const quint8* end, quint64& value) {
    value = 0;
    for (int index = 0; index < 10; ++index) {
        if (position >= end) {
            return false;
        }
        const quint8 byte = *position++;
        const quint64 group = byte & 0x7f;
        const int shift = 7 * index;
        if (shift == 63 && group > 1) {
            return false;
        }
        value |= group << shift;
        if ((byte & 0x80) == 0) {
            return true;
        }
    }
    return false;
}

// Skips the padding; returns the offset of the marker, or -1 when the input is not a container.
qsizetype containerStart(const QByteArray& input) {
    qsizetype position = 0;
    const qsizetype size = input.size();
    while (position < size && input.at(position) == '\0') {
        ++position;
    }
    if (size - position < 2) {
        return -1;
    }
    if (static_cast<quint8>(input.at(position)) != TCompressionHelper::CONTAINER_MARKER ||
        static_cast<quint8>(input.at(position + 1)) >= TCompressionHelper::CODEC_COUNT) {
        return -1;
    }
    return position;
}

TContainerHeader parseHeader(const QByteArray& input, qsizetype start, quint64 maximumUnpackedLength) {
    const auto* begin = reinterpret_cast<const quint8*>(input.constData());
    const quint8* end = begin + input.size();
    const quint8* position = begin + start + 1;
    TContainerHeader header;
    header.codec = *position++;
    if (!readLeb128(position, end, header.unpackedLength) ||
        !readLeb128(position, end, header.payloadLength)) {
        throw TDecompressionError();
    }
    if (header.unpackedLength == 0 || header.payloadLength == 0 ||
        header.unpackedLength > maximumUnpackedLength ||
        header.payloadLength > static_cast<quint64>(end - position)) {
        throw TDecompressionError();
    }
    header.payload = position;
    return header;
}

// Output buffer of a decoder: room for L bytes plus one, so that a stream that would produce
// more than L bytes is noticed by the extra byte being filled.
QByteArray makeOutputBuffer(quint64 unpackedLength) {
    QByteArray buffer;
    buffer.resize(static_cast<int>(unpackedLength + 1));
    return buffer;
}

QByteArray finishOutput(QByteArray buffer, quint64 produced, quint64 unpackedLength) {
    if (produced > unpackedLength) {
        throw TDecompressionError();
    }
    buffer.truncate(static_cast<int>(produced));
    return buffer;
}

QByteArray decodeRaw(const TContainerHeader& header) {
    if (header.payloadLength > header.unpackedLength) {
        throw TDecompressionError();
    }
    return QByteArray(reinterpret_cast<const char*>(header.payload), static_cast<int>(header.payloadLength));
}

QByteArray decodeDeflate(const TContainerHeader& header) {
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) {
        throw TDecompressionError();
    }
    QByteArray buffer = makeOutputBuffer(header.unpackedLength);
    const quint64 capacity = header.unpackedLength + 1;
    // zlib counts in 32-bit units; the payload may be larger than that only in theory, so it
    // is fed in pieces. The output always fits (L is bounded).
    stream.next_out = reinterpret_cast<Bytef*>(buffer.data());
    stream.avail_out = static_cast<uInt>(capacity);
    const quint8* input = header.payload;
    quint64 remaining = header.payloadLength;
    int result = Z_OK;
    while (true) {
        if (stream.avail_in == 0 && remaining > 0) {
            const auto piece =
                static_cast<uInt>(std::min<quint64>(remaining, std::numeric_limits<uInt>::max()));
            stream.next_in = const_cast<Bytef*>(reinterpret_cast<const Bytef*>(input));
            stream.avail_in = piece;
            input += piece;
            remaining -= piece;
        }
        result = inflate(&stream, remaining == 0 ? Z_FINISH : Z_NO_FLUSH);
        if (result == Z_STREAM_END) {
            break;
        }
        if (result != Z_OK && !(result == Z_BUF_ERROR && stream.avail_in == 0 && remaining > 0)) {
            break;
        }
        if (stream.avail_out == 0) {
            break;
        }
    }
    const quint64 produced = capacity - stream.avail_out;
    inflateEnd(&stream);
    // Only a stream that reached its final block is complete.
    if (result != Z_STREAM_END) {
        throw TDecompressionError();
    }
    return finishOutput(std::move(buffer), produced, header.unpackedLength);
}

// Largest dictionary an lzip member may ask for: the decoder allocates it before the first byte.
constexpr quint64 LZIP_MAX_DICTIONARY = TCompressionHelper::MAX_UNPACKED_LENGTH;
constexpr quint64 LZIP_HEADER_SIZE = 6;

// True when the bytes start an lzip member header ("LZIP", version 1, coded dictionary size)
// whose dictionary lies within LZIP_MAX_DICTIONARY.
bool acceptableLzipHeader(const quint8* data, quint64 length) {
    if (length < LZIP_HEADER_SIZE || std::memcmp(data, "LZIP", 4) != 0 || data[4] != 1) {
        return false;
    }
    const quint8 coded = data[5];
    const int bits = coded & 0x1f;
    if (bits < 12 || bits > 29) {
        return false;
    }
    quint64 size = quint64(1) << bits;
    size -= (size / 16) * ((coded >> 5) & 0x07);
    return size <= LZIP_MAX_DICTIONARY;
}

// An lzip payload is one member or several in a row; each is decoded in turn into the same
// output. lzlib starts a member only in the read call after the previous one finished, so every
// member's header is checked here before lzlib allocates its dictionary.
QByteArray decodeLzip(const TContainerHeader& header) {
    if (!acceptableLzipHeader(header.payload, header.payloadLength)) {
        throw TDecompressionError();
    }
    struct TDecoderCloser {
        void operator()(LZ_Decoder* decoder) const { LZ_decompress_close(decoder); }
    };
    std::unique_ptr<LZ_Decoder, TDecoderCloser> decoder(LZ_decompress_open());
    if (!decoder || LZ_decompress_errno(decoder.get()) != LZ_ok) {
        throw TDecompressionError();
    }
    QByteArray buffer = makeOutputBuffer(header.unpackedLength);
    const quint64 capacity = header.unpackedLength + 1;
    quint64 produced = 0;
    quint64 consumed = 0;
    bool finishCalled = false;
    while (true) {
        if (consumed < header.payloadLength) {
            const int room = LZ_decompress_write_size(decoder.get());
            if (room > 0) {
                const int piece =
                    static_cast<int>(std::min<quint64>(header.payloadLength - consumed, quint64(room)));
                const int written = LZ_decompress_write(decoder.get(), header.payload + consumed, piece);
                if (written < 0) {
                    throw TDecompressionError();
                }
                consumed += static_cast<quint64>(written);
            }
        }
        if (consumed == header.payloadLength && !finishCalled) {
            if (LZ_decompress_finish(decoder.get()) < 0) {
                throw TDecompressionError();
            }
            finishCalled = true;
        }
        const unsigned long long inBefore = LZ_decompress_total_in_size(decoder.get());
        const int room = static_cast<int>(std::min<quint64>(capacity - produced, 1 << 20));
        const int read =
            LZ_decompress_read(decoder.get(), reinterpret_cast<uint8_t*>(buffer.data()) + produced, room);
        // lzlib hands out all data before it checks the trailer (CRC, sizes); nothing is trusted
        // until the member has finished without error.
        if (read < 0 || LZ_decompress_errno(decoder.get()) != LZ_ok) {
            throw TDecompressionError();
        }
        produced += static_cast<quint64>(read);
        if (produced > header.unpackedLength) {
            throw TDecompressionError();
        }
        if (LZ_decompress_member_finished(decoder.get()) == 1) {
            const quint64 memberEnd = LZ_decompress_total_in_size(decoder.get());
            if (memberEnd == header.payloadLength) {
                break;
            }
            // More bytes follow: they must be a further member (trailing data is not accepted).
            if (memberEnd > header.payloadLength ||
                !acceptableLzipHeader(header.payload + memberEnd, header.payloadLength - memberEnd)) {
                throw TDecompressionError();
            }
            continue;
        }
        if (finishCalled && read == 0 && LZ_decompress_total_in_size(decoder.get()) == inBefore) {
            // All input handed over, nothing more comes out, and the member has not ended: the
            // stream is cut short.
            throw TDecompressionError();
        }
    }
    return finishOutput(std::move(buffer), produced, header.unpackedLength);
}

QByteArray decodeLzma(const TContainerHeader& header) {
    if (header.payloadLength <= quint64(TCompressionHelper::LZMA_PAYLOAD_HEADER_SIZE)) {
        throw TDecompressionError();
    }
    const quint8* properties = header.payload;
    if (properties[0] >= 9 * 5 * 5) {
        throw TDecompressionError();
    }
    lzma_options_lzma options{};
    const quint8 lclppb = properties[0];
    options.lc = lclppb % 9;
    options.lp = (lclppb / 9) % 5;
    options.pb = lclppb / 45;
    if (options.lc + options.lp > LZMA_LCLP_MAX) {
        throw TDecompressionError();
    }
    quint32 dictionary = quint32(properties[1]) | (quint32(properties[2]) << 8) |
                         (quint32(properties[3]) << 16) | (quint32(properties[4]) << 24);
    // A dictionary larger than the output can never be referenced by a valid stream, so the
    // size from the (untrusted) properties is capped at the unpacked length.
    const quint32 cap = static_cast<quint32>(std::max<quint64>(header.unpackedLength, LZMA_MIN_DICTIONARY));
    options.dict_size = std::max(std::min(dictionary, cap), LZMA_MIN_DICTIONARY);

    lzma_filter filters[2];
    filters[0].id = LZMA_FILTER_LZMA1;
    filters[0].options = &options;
    filters[1].id = LZMA_VLI_UNKNOWN;
    filters[1].options = nullptr;

    lzma_stream stream = LZMA_STREAM_INIT;
    if (lzma_raw_decoder(&stream, filters) != LZMA_OK) {
        lzma_end(&stream);
        throw TDecompressionError();
    }
    // Decoding stops when L bytes have been produced, whatever the stream holds beyond them; the
    // digest of the chunk decides whether they are right.
    QByteArray buffer;
    buffer.resize(static_cast<int>(header.unpackedLength));
    const quint64 capacity = header.unpackedLength;
    stream.next_in = header.payload + TCompressionHelper::LZMA_PAYLOAD_HEADER_SIZE;
    stream.avail_in =
        static_cast<size_t>(header.payloadLength - TCompressionHelper::LZMA_PAYLOAD_HEADER_SIZE);
    stream.next_out = reinterpret_cast<uint8_t*>(buffer.data());
    stream.avail_out = static_cast<size_t>(capacity);
    lzma_ret result = LZMA_OK;
    while (result == LZMA_OK && stream.avail_out > 0) {
        result = lzma_code(&stream, LZMA_FINISH);
    }
    const quint64 produced = capacity - stream.avail_out;
    lzma_end(&stream);
    // The plain LZMA1 decoder does not tell a stream that is cut short from one without an end
    // marker; so: an end marker was seen (fewer bytes than L are fine, the digest decides), or
    // the output is full. Running out of input before either is a truncated stream.
    const bool endMarker = result == LZMA_STREAM_END;
    const bool full = produced == header.unpackedLength && (result == LZMA_OK || result == LZMA_BUF_ERROR);
    if (!endMarker && !full) {
        throw TDecompressionError();
    }
    buffer.truncate(static_cast<int>(produced));
    return buffer;
}

// CSC and CRUSH decode into exactly L bytes.
template <typename Decoder> QByteArray decodeExact(const TContainerHeader& header, Decoder decoder) {
    QByteArray buffer;
    buffer.resize(static_cast<int>(header.unpackedLength));
    decoder(header.payload, static_cast<std::size_t>(header.payloadLength),
            reinterpret_cast<std::uint8_t*>(buffer.data()), static_cast<std::size_t>(header.unpackedLength));
    return buffer;
}

} // namespace

TDecompressionError::TDecompressionError() : std::runtime_error(DECOMPRESSION_ERROR_TEXT) {}

struct TCompressionHelper::TInflateStream {
    z_stream stream{};
    ~TInflateStream() { inflateEnd(&stream); }
};

TCompressionHelper::TCompressionHelper() = default;
TCompressionHelper::~TCompressionHelper() = default;

bool TCompressionHelper::isContainer(const QByteArray& input) {
    return containerStart(input) >= 0;
}

QByteArray TCompressionHelper::DecompressLZMAByteArrayWithExceptionOnError(const QByteArray& input) {
    return DecompressLZMAByteArrayWithExceptionOnError(input, MAX_UNPACKED_LENGTH);
}

QByteArray TCompressionHelper::DecompressLZMAByteArrayWithExceptionOnError(const QByteArray& input,
                                                                           quint64 maximumUnpackedLength) {
    const qsizetype start = containerStart(input);
    if (start < 0) {
        return input;
    }
    const TContainerHeader header =
        parseHeader(input, start, std::min(maximumUnpackedLength, MAX_WHOLE_FILE_UNPACKED_LENGTH));
    switch (header.codec) {
    case CODEC_RAW:
        return decodeRaw(header);
    case CODEC_MINIZ:
        return decodeDeflate(header);
    case CODEC_LZIP:
        return decodeLzip(header);
    case CODEC_LZMA20:
    case CODEC_LZMA25:
        return decodeLzma(header);
    case CODEC_CSC20:
        return decodeExact(header, decodeCsc);
    case CODEC_CRUSH:
        return decodeExact(header, decodeCrush);
    case CODEC_ZPAQ:
        return TZpaqDecoder::decode(header.payload, header.payloadLength, header.unpackedLength);
    default:
        throw TDecompressionError();
    }
}

QByteArray TCompressionHelper::DecompressLZMAByteArray(const QByteArray& input) {
    try {
        return DecompressLZMAByteArrayWithExceptionOnError(input);
    } catch (const TDecompressionError&) {
        return input;
    }
}

bool TCompressionHelper::initializeDeflateDecompression(bool rawDeflate) {
    m_inflate = std::make_unique<TInflateStream>();
    if (inflateInit2(&m_inflate->stream, rawDeflate ? -MAX_WBITS : MAX_WBITS) != Z_OK) {
        m_inflate.reset();
        return false;
    }
    return true;
}

bool TCompressionHelper::deflateDecompressionInitialized() const {
    return m_inflate != nullptr;
}

std::vector<std::uint8_t> TCompressionHelper::decompressDeflatedByteArray(const QByteArray& piece) {
    std::vector<std::uint8_t> output;
    if (!m_inflate) {
        throw TDecompressionError();
    }
    z_stream& stream = m_inflate->stream;
    stream.next_in = const_cast<Bytef*>(reinterpret_cast<const Bytef*>(piece.constData()));
    stream.avail_in = static_cast<uInt>(piece.size());
    std::uint8_t chunk[16384];
    do {
        stream.next_out = chunk;
        stream.avail_out = sizeof(chunk);
        const int result = inflate(&stream, Z_NO_FLUSH);
        if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) {
            throw TDecompressionError();
        }
        output.insert(output.end(), chunk, chunk + (sizeof(chunk) - stream.avail_out));
        if (result == Z_STREAM_END || (result == Z_BUF_ERROR && stream.avail_out != 0)) {
            break;
        }
    } while (stream.avail_out == 0 || stream.avail_in > 0);
    return output;
}

QByteArray TCompressionHelper::zlibByteVectorToQByteArray(const std::vector<std::uint8_t>& bytes) {
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()));
}

} // namespace shared
