#include "options.h"

#include <QTextStream>

#include <algorithm>
#include <limits>
#include <utility>

#ifndef ORVANE_PUBLISH_VERSION
#define ORVANE_PUBLISH_VERSION "unknown"
#endif

namespace publish {

bool parseByteCount(const QString& text, quint64& value) {
    QString digits = text.trimmed();
    quint64 factor = 1;
    if (!digits.isEmpty()) {
        const QChar unit = digits.back().toUpper();
        const int shift = unit == QLatin1Char('K')   ? 10
                          : unit == QLatin1Char('M') ? 20
                          : unit == QLatin1Char('G') ? 30
                                                     : 0;
        if (shift != 0) {
            factor = 1ull << shift;
            digits.chop(1);
        }
    }
    bool ok = false;
    const quint64 number = digits.toULongLong(&ok, 10);
    if (!ok || number > std::numeric_limits<quint64>::max() / factor) {
        return false;
    }
    value = number * factor;
    return true;
}

bool parseSwitch(const QString& text, bool& value) {
    const QString lower = text.trimmed().toLower();
    if (lower == QLatin1String("yes") || lower == QLatin1String("true") || lower == QLatin1String("1")) {
        value = true;
        return true;
    }
    if (lower == QLatin1String("no") || lower == QLatin1String("false") || lower == QLatin1String("0")) {
        value = false;
        return true;
    }
    return false;
}

QString toolVersion() {
    return QStringLiteral(ORVANE_PUBLISH_VERSION);
}

TCommandLine::TCommandLine(QString command, QString synopsis, QString summary)
    : m_command(std::move(command)), m_synopsis(std::move(synopsis)), m_summary(std::move(summary)) {
    addOption(QStringLiteral("help"), QString(), QStringLiteral("print this help and exit"));
}

void TCommandLine::addOption(const QString& name, const QString& valueName, const QString& description,
                             bool repeatable) {
    TOption option;
    option.name = name;
    option.valueName = valueName;
    option.description = description;
    option.repeatable = repeatable;
    m_options.push_back(option);
}

TCommandLine::TOption* TCommandLine::find(const QString& name) {
    for (TOption& option : m_options) {
        if (option.name == name)
            return &option;
    }
    return nullptr;
}

const TCommandLine::TOption* TCommandLine::find(const QString& name) const {
    return const_cast<TCommandLine*>(this)->find(name);
}

QString TCommandLine::prefix() const {
    return m_command.isEmpty() ? QStringLiteral("orvane-publish")
                               : QStringLiteral("orvane-publish ") + m_command;
}

int TCommandLine::parse(const QStringList& arguments, int minimumPositional, int maximumPositional) {
    // --version is the tool's version unless the command declares an option of that name.
    const bool versionIsOwn = find(QStringLiteral("version")) != nullptr;
    bool optionsEnded = false;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (optionsEnded || argument == QLatin1String("-") || !argument.startsWith(QLatin1Char('-'))) {
            m_positional.append(argument);
            continue;
        }
        if (argument == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        if (argument == QLatin1String("-h") || argument == QLatin1String("--help")) {
            QTextStream(stdout) << helpText();
            return EXIT_CODE_OK;
        }
        if (!versionIsOwn && argument == QLatin1String("--version")) {
            QTextStream(stdout) << "orvane-publish " << toolVersion() << "\n";
            return EXIT_CODE_OK;
        }
        if (!argument.startsWith(QLatin1String("--")))
            return usageError(QStringLiteral("unknown option '%1'").arg(argument));
        const int equals = argument.indexOf(QLatin1Char('='));
        const QString name = argument.mid(2, equals < 0 ? -1 : equals - 2);
        TOption* option = find(name);
        if (option == nullptr || option->name == QLatin1String("help"))
            return usageError(QStringLiteral("unknown option '--%1'").arg(name));
        if (option->set && !option->repeatable)
            return usageError(QStringLiteral("option '--%1' given more than once").arg(name));
        option->set = true;
        if (option->valueName.isEmpty()) {
            if (equals >= 0)
                return usageError(QStringLiteral("option '--%1' takes no value").arg(name));
            continue;
        }
        if (equals >= 0) {
            option->values.append(argument.mid(equals + 1));
        } else if (i + 1 < arguments.size()) {
            option->values.append(arguments[++i]);
        } else {
            return usageError(
                QStringLiteral("option '--%1' needs a value (%2)").arg(name, option->valueName));
        }
    }
    if (m_positional.size() > maximumPositional)
        return usageError(QStringLiteral("unexpected argument '%1'").arg(m_positional.at(maximumPositional)));
    if (m_positional.size() < minimumPositional)
        return usageError(QStringLiteral("missing arguments: %1")
                              .arg(m_synopsis.section(QLatin1Char('['), 0, 0).trimmed()));
    return -1;
}

bool TCommandLine::isSet(const QString& name) const {
    const TOption* option = find(name);
    return option != nullptr && option->set;
}

QString TCommandLine::value(const QString& name) const {
    const TOption* option = find(name);
    return option == nullptr || option->values.isEmpty() ? QString() : option->values.constLast();
}

QStringList TCommandLine::values(const QString& name) const {
    const TOption* option = find(name);
    return option == nullptr ? QStringList() : option->values;
}

int TCommandLine::usageError(const QString& message) const {
    QTextStream(stderr) << prefix() << ": " << message << "\n"
                        << "usage: " << prefix() << " " << m_synopsis << "\n"
                        << "Try '" << prefix() << " --help' for more information.\n";
    return EXIT_CODE_USAGE;
}

QString TCommandLine::helpText() const {
    QString text;
    QTextStream out(&text);
    out << "usage: " << prefix() << " " << m_synopsis << "\n\n" << m_summary << "\n\noptions:\n";
    std::vector<std::pair<QString, QString>> rows;
    for (const TOption& option : m_options) {
        QString left = QStringLiteral("--") + option.name;
        if (option.name == QLatin1String("help"))
            left = QStringLiteral("-h, --help");
        if (!option.valueName.isEmpty())
            left += QLatin1Char(' ') + option.valueName;
        rows.emplace_back(left, option.description +
                                    (option.repeatable ? QStringLiteral(" (repeatable)") : QString()));
    }
    if (find(QStringLiteral("version")) == nullptr)
        rows.emplace_back(QStringLiteral("--version"), QStringLiteral("print the tool's version and exit"));
    int width = 0;
    for (const auto& row : rows)
        width = std::max(width, static_cast<int>(row.first.size()));
    for (const auto& row : rows) {
        // Continuation lines of a description are indented under its first line.
        QString description = row.second;
        description.replace(QLatin1Char('\n'), QLatin1Char('\n') + QString(width + 4, QLatin1Char(' ')));
        out << "  " << row.first.leftJustified(width) << "  " << description << "\n";
    }
    if (!m_epilog.isEmpty())
        out << "\n" << m_epilog << "\n";
    out.flush();
    return text;
}

} // namespace publish
