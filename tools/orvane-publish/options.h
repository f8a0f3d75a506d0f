#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <vector>

namespace publish {

// Reads a byte count: a decimal number, optionally followed by K, M or G (powers of 1024).
bool parseByteCount(const QString& text, quint64& value);

// Reads "yes"/"true"/"1" or "no"/"false"/"0".
bool parseSwitch(const QString& text, bool& value);

// The tool's version, printed by --version.
QString toolVersion();

// Exit codes shared by every command.
enum EExitCode {
    EXIT_CODE_OK = 0,
    EXIT_CODE_FAILURE = 1,      // the command ran and failed (invalid input, refused build, ...)
    EXIT_CODE_USAGE = 2,        // wrong arguments
    EXIT_CODE_NETWORK = 3,      // a document or unit could not be fetched
    EXIT_CODE_DISK = 4,         // a file could not be read or written
    EXIT_CODE_VERIFICATION = 5, // installed files do not match the build
    EXIT_CODE_INTERRUPTED = 130 // ended by SIGINT or SIGTERM
};

// The command line of one command (or of the tool itself), parsed the same way everywhere:
// "--name value" and "--name=value", "--" ends the options, "-h"/"--help" prints the help on
// standard output, "--version" prints the tool's version (unless the command takes --version
// as an option of its own). A value option takes the next argument whatever it looks like, so
// "--parameter -windowed" works.
class TCommandLine {
public:
    // command: e.g. "sync" (empty for the tool itself); synopsis: what follows the command name in
    // the usage line; summary: one or more lines describing the command.
    TCommandLine(QString command, QString synopsis, QString summary);

    // valueName empty: a switch without value. repeatable: may be given more than once.
    void addOption(const QString& name, const QString& valueName, const QString& description,
                   bool repeatable = false);
    // Text printed after the options in the help (exit codes, examples).
    void setEpilog(const QString& epilog) { m_epilog = epilog; }

    // Parses the arguments after the command name. Returns -1 when the command should run;
    // otherwise the exit code to end with (help or version printed: 0; usage error printed: 2).
    int parse(const QStringList& arguments, int minimumPositional, int maximumPositional);

    bool isSet(const QString& name) const;
    QString value(const QString& name) const;
    QStringList values(const QString& name) const;
    const QStringList& positional() const { return m_positional; }

    // Prints "orvane-publish CMD: message" and a pointer to --help on standard error; returns 2.
    int usageError(const QString& message) const;
    QString helpText() const;

private:
    struct TOption {
        QString name;
        QString valueName;
        QString description;
        bool repeatable = false;
        QStringList values;
        bool set = false;
    };
    TOption* find(const QString& name);
    const TOption* find(const QString& name) const;
    QString prefix() const;

    QString m_command;
    QString m_synopsis;
    QString m_summary;
    QString m_epilog;
    std::vector<TOption> m_options;
    QStringList m_positional;
};

} // namespace publish
