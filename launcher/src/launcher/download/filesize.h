#pragma once

#include <QMetaType>
#include <QtGlobal>

namespace quarn {
namespace launcher {

// A count of bytes, as carried by the progress signals of the installation and download stages.
using TFileSize = quint64;

// Queued connections look parameter types up by the name written in the signal, so the alias is
// registered under both spellings. Every translation unit that includes this header takes part,
// so the names are known before the first signal is connected.
inline const int FILE_SIZE_META_TYPE_ID = [] {
    qRegisterMetaType<TFileSize>("quarn::launcher::TFileSize");
    return qRegisterMetaType<TFileSize>("TFileSize");
}();

} // namespace launcher
} // namespace quarn
