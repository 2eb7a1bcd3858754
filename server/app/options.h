#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QHash>
#include <QStringList>

class QCoreApplication;

namespace tavrel::server {

// The server's command line and its config file, read as one: every option added here is
// also a key of the file (`port = 12345`, INI form), and the command line overrides the
// file. Options without a value take true or false in the file.
//
// The file is read with QSettings, which skips lines it cannot read and has no line numbers;
// so the text is also scanned line by line, to refuse what QSettings would skip and to name
// the line of every key in messages. Lines starting with '#' or ';' are comments.
class OptionParser
{
public:
    static inline const QString kConfigOption = QStringLiteral("config");
    static inline const QString kCheckConfigOption = QStringLiteral("check-config");

    // defaultConfigFile is read when it exists and --config names no other.
    explicit OptionParser(const QString &defaultConfigFile);

    void setApplicationDescription(const QString &description);
    void addHelpOption();
    void addVersionOption();
    void addOption(const QCommandLineOption &option);

    // Parses the command line like QCommandLineParser::process (which exits on --help,
    // --version and unknown options), then reads the config file. False when the file
    // cannot be used; errors() says why.
    bool process(const QCoreApplication &app);
    // The same for a given argument list (the first is the program), without exiting.
    bool parse(const QStringList &arguments);

    QStringList errors() const { return m_errors; }
    // The file that was read; empty when none.
    QString configFile() const { return m_configFile; }

    bool isSet(const QString &name) const;
    QString value(const QString &name) const;
    // Where the value of an option came from, for messages: "--port" or
    // "key 'port' at /etc/tavrel/server.conf:7".
    QString origin(const QString &name) const;

private:
    bool readConfigFile();
    bool takesValue(const QString &name) const;

    struct FileValue
    {
        QString value;
        int line = 0;
    };

    QCommandLineParser m_parser;
    QString m_defaultConfigFile;
    QHash<QString, bool> m_keys; // option name -> takes a value
    QHash<QString, FileValue> m_file;
    QString m_configFile;
    QStringList m_errors;
};

} // namespace tavrel::server
