#pragma once

#include <QByteArray>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

namespace shared {

// Thrown when a compressed chunk container cannot be decoded.
class TDecompressionError : public std::runtime_error {
public:
    TDecompressionError();
};

// Decoding of compressed chunk containers.
//
// A container is: any number of 0x00 padding bytes, the marker 0x70 ('p'), a codec number
// below 24, the unpacked length L and the payload length N (both unsigned LEB128), then N
// payload bytes. Data that is not a container passes through unchanged.
//
// Decoded codecs: 0 (stored), 3 (raw DEFLATE), 4 (lzip, member after member), 5 and 10 (raw LZMA1
// behind a 13-byte header of properties and a stream length), 6 (ZPAQ, TZpaqDecoder), 14 (CSC) and
// 21 (CRUSH). Every
// other codec is rejected.
//
// Untrusted input is bounded: L may not exceed the caller's limit (MAX_UNPACKED_LENGTH for a
// chunk of a chunk list, at most MAX_WHOLE_FILE_UNPACKED_LENGTH for a file sent as one unit), N
// may not exceed the bytes that follow the header, no decoder writes beyond L bytes (an LZMA
// stream stops there; the other codecs reject a stream that yields more), a stream that is cut
// short is rejected, and the memory a stream asks for (dictionary, window) is capped, so no
// allocation is sized by an unchecked header.
class TCompressionHelper {
public:
    // Largest unpacked length accepted: far above the largest chunk (16 MiB), far below
    // anything that could exhaust memory when several chunks are decoded at once.
    static constexpr quint64 MAX_UNPACKED_LENGTH = 64ull * 1024 * 1024;
    // Largest unpacked length of a file sent as one unit: the largest byte array the pipeline
    // can hold (Qt 5 sizes are int), less 1 MiB of headroom for the decoders' own bookkeeping.
    static constexpr quint64 MAX_WHOLE_FILE_UNPACKED_LENGTH = 2047ull * 1024 * 1024;
    static constexpr quint8 CONTAINER_MARKER = 0x70;
    static constexpr quint8 CODEC_COUNT = 24;
    static constexpr int LZMA_PAYLOAD_HEADER_SIZE = 13;

    enum ECodec : quint8 {
        CODEC_RAW = 0,
        CODEC_MINIZ = 3,
        CODEC_LZIP = 4,
        CODEC_LZMA20 = 5,
        CODEC_ZPAQ = 6,
        CODEC_LZMA25 = 10,
        CODEC_CSC20 = 14,
        CODEC_CRUSH = 21,
    };

    TCompressionHelper();
    virtual ~TCompressionHelper();
    TCompressionHelper(const TCompressionHelper&) = delete;
    TCompressionHelper& operator=(const TCompressionHelper&) = delete;

    // The input unchanged if it is not a container, else its decoded content.
    // Throws TDecompressionError if it is a container that cannot be decoded.
    static QByteArray DecompressLZMAByteArrayWithExceptionOnError(const QByteArray& input);
    // The same with another bound for L (clamped to MAX_WHOLE_FILE_UNPACKED_LENGTH).
    static QByteArray DecompressLZMAByteArrayWithExceptionOnError(const QByteArray& input,
                                                                  quint64 maximumUnpackedLength);
    // The same, but a container that cannot be decoded yields the input unchanged.
    static QByteArray DecompressLZMAByteArray(const QByteArray& input);

    // True when the bytes are a container (after padding: the marker and a codec below 24).
    static bool isContainer(const QByteArray& input);

    // Streaming inflate of zlib data (with header unless raw), kept for callers of the common
    // library that inflate in pieces.
    bool initializeDeflateDecompression(bool rawDeflate);
    bool deflateDecompressionInitialized() const;
    // Inflates the next piece; throws TDecompressionError on corrupt data.
    std::vector<std::uint8_t> decompressDeflatedByteArray(const QByteArray& piece);
    static QByteArray zlibByteVectorToQByteArray(const std::vector<std::uint8_t>& bytes);

private:
    struct TInflateStream;
    std::unique_ptr<TInflateStream> m_inflate;
};

} // namespace shared
