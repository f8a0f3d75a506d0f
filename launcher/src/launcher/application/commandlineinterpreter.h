#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QStringList>

namespace quarn::launcher {

// The launcher's four command-line options, parsed once at start-up. Parse errors are ignored:
// the launcher never prints help or exits because of its command line.
class TCommandLineInterpreter {
public:
    static const QString SKIP_SELFUPDATE_LONG;

    TCommandLineInterpreter();

    void parseCommandLineArguments(const QStringList& arguments);

    bool isFirstLaunchSet() const;
    bool isSkipSelfUpdateSet() const;
    bool isShowPackageListSet() const;
    // True only when the patch option carries a non-empty value.
    bool isPatchPackageSet() const;
    QString getPathToExecutableToPatch() const;

private:
    QCommandLineParser m_Parser;
    QCommandLineOption m_FirstLaunchOption;
    QCommandLineOption m_SkipSelfUpdateOption;
    QCommandLineOption m_ShowPackageListOption;
    QCommandLineOption m_PatchOption;
};

} // namespace quarn::launcher
