#pragma once

#include <QStringList>

// Each command of orvane-publish takes the arguments after its name and returns the exit code.
// Messages for the user go to standard output, errors to standard error.
namespace publish {
int runCatalogue(const QStringList& arguments);
int runChunks(const QStringList& arguments);
int runPack(const QStringList& arguments);
int runPackage(const QStringList& arguments);
int runUnpack(const QStringList& arguments);
int runSync(const QStringList& arguments);
} // namespace publish
