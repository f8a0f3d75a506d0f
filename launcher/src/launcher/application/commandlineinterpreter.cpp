#include "launcher/application/commandlineinterpreter.h"

namespace quarn::launcher {

const QString TCommandLineInterpreter::SKIP_SELFUPDATE_LONG = QStringLiteral("skip-selfupdate");

TCommandLineInterpreter::TCommandLineInterpreter()
    : m_FirstLaunchOption({QStringLiteral("l"), QStringLiteral("first-launch")},
                          QStringLiteral("Automatically download default packages when starting up.")),
      m_SkipSelfUpdateOption({QStringLiteral("s"), SKIP_SELFUPDATE_LONG},
                             QStringLiteral("Do not perform self-update check on launch.")),
      m_ShowPackageListOption({QStringLiteral("u"), QStringLiteral("show-ui")},
                              QStringLiteral("Show list of available packages after intial checks.")),
      m_PatchOption({QStringLiteral("p"), QStringLiteral("patch")},
                    QStringLiteral("Start update of <patchexecutable> without user interaction."),
                    QStringLiteral("patchexecutable")) {
    m_Parser.addOption(m_FirstLaunchOption);
    m_Parser.addOption(m_SkipSelfUpdateOption);
    m_Parser.addOption(m_ShowPackageListOption);
    m_Parser.addOption(m_PatchOption);
}

void TCommandLineInterpreter::parseCommandLineArguments(const QStringList& arguments) {
    // Errors (unknown options, a missing value) leave every recognised option in effect.
    m_Parser.parse(arguments);
}

bool TCommandLineInterpreter::isFirstLaunchSet() const {
    return m_Parser.isSet(m_FirstLaunchOption);
}

bool TCommandLineInterpreter::isSkipSelfUpdateSet() const {
    return m_Parser.isSet(m_SkipSelfUpdateOption);
}

bool TCommandLineInterpreter::isShowPackageListSet() const {
    return m_Parser.isSet(m_ShowPackageListOption);
}

bool TCommandLineInterpreter::isPatchPackageSet() const {
    return m_Parser.isSet(m_PatchOption) && !getPathToExecutableToPatch().isEmpty();
}

QString TCommandLineInterpreter::getPathToExecutableToPatch() const {
    return m_Parser.value(m_PatchOption);
}

} // namespace quarn::launcher
