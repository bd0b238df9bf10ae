// The XDG autostart entry.
#include "gui/Autostart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace vontal {

namespace {

QString AutostartDir() {
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    // The XDG rules ignore a relative path in the variable.
    if (config.isEmpty() || QDir::isRelativePath(config)) config = QDir::homePath() + "/.config";
    return config + "/autostart";
}

// Exec= quoting of the desktop entry rules: each argument in double quotes, with ", `, $ and the
// backslash escaped by a backslash; in a string value of the file each backslash is then doubled;
// a per cent sign, which would start a field code, is doubled too.
QString ExecArgument(const QString& argument) {
    QString quoted;
    for (QChar c : argument) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        quoted += c;
    }
    quoted.replace("\\", "\\\\");
    quoted.replace("%", "%%");
    return '"' + quoted + '"';
}

QString ExecValue(const QString& programPath, const QStringList& arguments) {
    QString value = ExecArgument(programPath);
    for (const QString& argument : arguments) value += ' ' + ExecArgument(argument);
    return value;
}

}  // namespace

QString AutostartEntryPath() { return AutostartDir() + "/Vontal.desktop"; }

bool AutostartEntryExists() { return QFileInfo::exists(AutostartEntryPath()); }

void WriteAutostartEntry(const QString& programPath, const QStringList& arguments) {
    const QString dir = AutostartDir();
    if (!QDir().mkpath(dir)) throw AutostartError("Failed to create key " + dir.toStdString());
    const QString path = AutostartEntryPath();
    QSaveFile file(path);
    const QByteArray text = "[Desktop Entry]\n"
                            "Type=Application\n"
                            "Name=Vontal\n"
                            "Comment=Searches for prime divisors of Fermat numbers\n"
                            "Exec=" + ExecValue(programPath, arguments).toUtf8() + "\n"
                            "Terminal=false\n"
                            "X-GNOME-Autostart-enabled=true\n";
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
        throw AutostartError("Failed to set data for '" + path.toStdString() + "'");
}

void RemoveAutostartEntry() { QFile::remove(AutostartEntryPath()); }

}  // namespace vontal
