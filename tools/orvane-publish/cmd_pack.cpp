#include "commands.h"
#include "containerwriter.h"

#include "shared/compressionhelper.h"

#include <QFile>
#include <QTextStream>

namespace publish {

namespace {

bool readWholeFile(const QString& path, QByteArray& content, QString& error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot open '%1': %2").arg(path, file.errorString());
        return false;
    }
    if (file.size() > static_cast<qint64>(shared::TCompressionHelper::MAX_UNPACKED_LENGTH)) {
        error = QStringLiteral("'%1' is larger than a chunk container may hold (%2 bytes)")
                    .arg(path)
                    .arg(shared::TCompressionHelper::MAX_UNPACKED_LENGTH);
        return false;
    }
    content = file.readAll();
    return true;
}

} // namespace

int runPack(const QStringList& arguments) {
    QTextStream err(stderr);
    bool codecOk = false;
    const int codec = arguments.size() == 4 && arguments.at(0) == QLatin1String("--codec")
                          ? arguments.at(1).toInt(&codecOk)
                          : -1;
    if (!codecOk) {
        err << "usage: orvane-publish pack --codec N IN OUT   (N: 0, 3, 4, 5 or 10)\n";
        return 2;
    }
    const QString inPath = arguments.at(2);
    const QString outPath = arguments.at(3);
    QByteArray content;
    QString error;
    if (!readWholeFile(inPath, content, error)) {
        err << "orvane-publish pack: " << error << "\n";
        return 1;
    }
    if (content.isEmpty()) {
        err << "orvane-publish pack: '" << inPath << "' is empty; a container cannot hold zero bytes\n";
        return 1;
    }
    QByteArray container;
    if (!writeContainer(codec, content, container, error)) {
        err << "orvane-publish pack: " << error << "\n";
        return 1;
    }
    QFile out(outPath);
    // Written bytes may wait in the file's buffer: only the flush shows a write error.
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(container) != container.size() ||
        !out.flush()) {
        err << "orvane-publish pack: cannot write '" << outPath << "': " << out.errorString() << "\n";
        return 1;
    }
    QTextStream(stdout) << inPath << ": " << content.size() << " -> " << container.size() << " bytes (codec "
                        << codec << ")\n";
    return 0;
}

} // namespace publish
