#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace shared {

// Decoder of ZPAQ streams (container codec 6): a sequence of blocks, each with its own context
// model, a ZPAQL program computing the model's contexts (HCOMP) and optionally a ZPAQL
// post-processor (PCOMP) carried in the first segment's data. Level 1 and 2 blocks are read,
// modelled and stored segments, every component type.
//
// The stream is untrusted, including the programs it carries, so everything it can ask for is
// bounded:
// - the memory of a block (model tables, both machines) is computed from the header before
//   anything is allocated and may not exceed MAX_BLOCK_MEMORY;
// - the work per bit of a model (its components plus the inputs of its MIX components) may not
//   exceed MAX_MODEL_INPUTS: a stream can make the model decode many bytes from little input, so
//   this work, unlike the input, is otherwise unbounded;
// - a machine may execute only the instructions it has earned: a base allowance plus a fixed
//   number per byte it is given (and, for the post-processor, per byte it outputs), so a program
//   that loops for ever fails after a bounded amount of work;
// - every memory access of a program is masked to its arrays, every jump is checked;
// - no more than capacity bytes are output, and the bytes decoded before post-processing are
//   bounded by 2 * capacity + MAX_DECODED_SLACK;
// - running out of input anywhere, a corrupt arithmetic-coder state, a wrong SHA-1 of a
//   segment, or anything but a block after the end of the previous one is an error.
//
// Every failure throws TDecompressionError.
class TZpaqDecoder {
public:
    static constexpr quint64 MAX_BLOCK_MEMORY = 1ull << 30;
    static constexpr int MAX_MODEL_INPUTS = 512;
    static constexpr quint64 INSTRUCTIONS_BASE = 1ull << 20;
    static constexpr quint64 INSTRUCTIONS_PER_BYTE = 1024;
    static constexpr quint64 MAX_DECODED_SLACK = 1ull << 20;

    // Decodes the whole stream into at most capacity bytes; fewer are returned when the stream
    // holds fewer.
    static QByteArray decode(const quint8* data, quint64 size, quint64 capacity);
};

} // namespace shared
