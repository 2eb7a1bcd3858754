#pragma once

#include "config.h"

#include <QCommandLineParser>
#include <QHash>
#include <QStringList>

#include <functional>

class QCoreApplication;

namespace tavrel::server {

// How an option's value goes into a Config.
struct OptionReader
{
    // Reads a value, within the option's range; false with why otherwise.
    std::function<bool(const QString &text, Config &config, QString *why)> read;
    // The default as the option writes it; empty when there is none to write.
    std::function<QString(const Config &defaults)> show;
};

// One option of the command line, which is also a key of the config file.
struct Option
{
    QString name;
    QString valueName; // empty: a flag, true or false in the file
    QString help;
    OptionReader reader;
    // When reader.show gives nothing: what the option's absence means, for --help, and a value
    // to show in the sample config.
    QString none = {};
    QString example = {};
};

// Every option, in the order --help lists them.
const QList<Option> &options();

// The sample config file from its template: each line "@name" becomes the option's help as
// a comment and the option with its default (or example), commented out. False with why
// when the template leaves out an option, or names one twice or one that does not exist.
bool sampleConfig(const QString &templateText, QString *sample, QString *why);

// The command line and the config file, read as one into a Config. The file holds one
// "key = value" a line for any option, which the command line overrides; flags take true
// or false there. Outside double quotes, '#' and ';' start a comment, and a backslash
// keeps one of \ " # ; that follows it. A "[General]" line, which QSettings writes, is
// allowed.
class OptionParser
{
public:
    static inline const QString kConfigOption = QStringLiteral("config");
    static inline const QString kCheckConfigOption = QStringLiteral("check-config");

    // defaultConfigFile is read when it exists and --config names no other.
    explicit OptionParser(const QString &defaultConfigFile);

    // Parses the command line like QCommandLineParser::process (which exits on --help,
    // --version and unknown options), then reads the config file and every value into
    // config. False when anything is refused; errors() says what, and where.
    bool process(const QCoreApplication &app, Config &config);
    // The same for a given argument list (the first is the program), without exiting.
    bool parse(const QStringList &arguments, Config &config);

    QStringList errors() const { return m_errors; }
    // The file that was read; empty when none.
    QString configFile() const { return m_configFile; }

    // Whether an option was given; a flag, whether it was given as true.
    bool isSet(const QString &name) const;
    QString value(const QString &name) const;
    // Where the value of an option came from, for messages: "--port" or
    // "key 'port' at /etc/tavrel/server.conf:7".
    QString origin(const QString &name) const;

private:
    bool readConfigFile();
    bool readValues(Config &config);

    struct FileValue
    {
        QString value;
        int line = 0;
    };

    QCommandLineParser m_parser;
    QString m_defaultConfigFile;
    QHash<QString, FileValue> m_file;
    QString m_configFile;
    QStringList m_errors;
};

} // namespace tavrel::server
