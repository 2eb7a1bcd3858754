#include "options.h"

#include <QCoreApplication>
#include <QFile>
#include <QMultiMap>
#include <QSettings>

namespace tavrel::server {

namespace {

// QSettings puts keys above the first section, and those of a [General] section, at the
// top level.
const QString kTopSection = QStringLiteral("General");

std::optional<bool> readFlag(const QString &text)
{
    const QString word = text.trimmed().toLower();
    if (word == u"true" || word == u"yes" || word == u"on" || word == u"1")
        return true;
    if (word == u"false" || word == u"no" || word == u"off" || word == u"0")
        return false;
    return std::nullopt;
}

} // namespace

OptionParser::OptionParser(const QString &defaultConfigFile)
    : m_defaultConfigFile(defaultConfigFile)
{
    m_parser.addOption(QCommandLineOption(
        kConfigOption,
        QStringLiteral("Config file: one line 'key = value' for any option below, which the command line "
                       "overrides; an empty name reads none (default: %1, when it exists).")
            .arg(defaultConfigFile),
        QStringLiteral("file")));
    m_parser.addOption(QCommandLineOption(
        kCheckConfigOption,
        QStringLiteral("Check the command line, the config file and the mail password file, then exit.")));
}

void OptionParser::setApplicationDescription(const QString &description)
{
    m_parser.setApplicationDescription(description);
}

void OptionParser::addHelpOption()
{
    m_parser.addHelpOption();
}

void OptionParser::addVersionOption()
{
    m_parser.addVersionOption();
}

void OptionParser::addOption(const QCommandLineOption &option)
{
    m_parser.addOption(option);
    for (const QString &name : option.names())
        m_keys.insert(name, !option.valueName().isEmpty());
}

bool OptionParser::process(const QCoreApplication &app)
{
    m_parser.process(app);
    return readConfigFile();
}

bool OptionParser::parse(const QStringList &arguments)
{
    if (!m_parser.parse(arguments)) {
        m_errors = {m_parser.errorText()};
        return false;
    }
    return readConfigFile();
}

bool OptionParser::takesValue(const QString &name) const
{
    return m_keys.value(name);
}

bool OptionParser::isSet(const QString &name) const
{
    if (m_parser.isSet(name))
        return true;
    const auto found = m_file.constFind(name);
    return found != m_file.cend() && (takesValue(name) || found->value == u"true");
}

QString OptionParser::value(const QString &name) const
{
    if (m_parser.isSet(name) || !takesValue(name))
        return m_parser.value(name);
    return m_file.value(name).value;
}

QString OptionParser::origin(const QString &name) const
{
    if (m_parser.isSet(name) || !m_file.contains(name))
        return QStringLiteral("--") + name;
    return QStringLiteral("key '%1' at %2:%3")
        .arg(name, m_configFile, QString::number(m_file.value(name).line));
}

bool OptionParser::readConfigFile()
{
    m_file.clear();
    m_errors.clear();
    m_configFile = m_parser.isSet(kConfigOption)        ? m_parser.value(kConfigOption)
                   : QFile::exists(m_defaultConfigFile) ? m_defaultConfigFile
                                                        : QString();
    if (m_configFile.isEmpty())
        return true;

    QFile file(m_configFile);
    if (!file.open(QIODevice::ReadOnly)) {
        m_errors.append(
            QStringLiteral("cannot read the config file %1: %2").arg(m_configFile, file.errorString()));
        return false;
    }
    const QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n');
    QMultiMap<int, QString> problems; // by line
    const auto fail = [&problems](int line, const QString &message) { problems.insert(line, message); };

    // Where each key stands, as QSettings will name it ("section/key" inside a section).
    QHash<QString, int> keyLines;
    QString section;
    for (int i = 0; i < lines.size(); ++i) {
        const int number = i + 1;
        const QString line = lines.at(i).trimmed();
        if (line.isEmpty() || line.startsWith(u';') || line.startsWith(u'#'))
            continue;
        if (line.startsWith(u'[')) {
            if (!line.endsWith(u']')) {
                fail(number, QStringLiteral("a section header needs a closing ]"));
                continue;
            }
            section = line.mid(1, line.size() - 2).trimmed();
            if (section.compare(kTopSection, Qt::CaseInsensitive) == 0)
                section.clear();
            continue;
        }
        const qsizetype equals = line.indexOf(u'=');
        if (equals <= 0) {
            fail(number, QStringLiteral("expected 'key = value', got '%1'").arg(line));
            continue;
        }
        const QString key = line.left(equals).trimmed();
        const QString path = section.isEmpty() ? key : section + u'/' + key;
        if (keyLines.contains(path)) {
            fail(number, QStringLiteral("key '%1' is given again (first at line %2)")
                             .arg(path, QString::number(keyLines.value(path))));
            continue;
        }
        keyLines.insert(path, number);
    }

    QSettings settings(m_configFile, QSettings::IniFormat);
    // QSettings finds fault with less than the scan above, and cannot say where.
    if (settings.status() != QSettings::NoError && problems.isEmpty())
        fail(0, QStringLiteral("not in INI form"));
    const QStringList keys = settings.status() == QSettings::NoError ? settings.allKeys() : QStringList();
    for (const QString &key : keys) {
        // QSettings knows only ';' comments and reads "#port = 1" as a key named "#port".
        if (key.startsWith(u'#'))
            continue;
        const int number = keyLines.value(key);
        if (!m_keys.contains(key)) {
            fail(number, QStringLiteral("unknown key '%1'").arg(key));
            continue;
        }
        const QVariant raw = settings.value(key);
        // QSettings splits an unquoted value at its commas.
        if (raw.typeId() == QMetaType::QStringList) {
            fail(number, QStringLiteral("key '%1': a value with a comma must be in double quotes").arg(key));
            continue;
        }
        QString value = raw.toString();
        if (!takesValue(key)) {
            const std::optional<bool> flag = readFlag(value);
            if (!flag) {
                fail(number, QStringLiteral("key '%1' takes true or false, got '%2'").arg(key, value));
                continue;
            }
            value = *flag ? QStringLiteral("true") : QStringLiteral("false");
        }
        m_file.insert(key, FileValue{value, number});
    }
    for (auto it = problems.cbegin(); it != problems.cend(); ++it) {
        const QString where = it.key() > 0 ? m_configFile + u':' + QString::number(it.key()) : m_configFile;
        m_errors.append(where + QStringLiteral(": ") + it.value());
    }
    return m_errors.isEmpty();
}

} // namespace tavrel::server
