// Starting the program with the desktop session: an XDG autostart entry
// "$XDG_CONFIG_HOME/autostart/Vontal.desktop" (default ~/.config/autostart) that runs the
// program by its full path, with the arguments it was started with (a data folder named by hand).
#pragma once

#include <QString>
#include <QStringList>
#include <stdexcept>

namespace vontal {

class AutostartError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Full path of the entry, from the environment at the time of the call.
QString AutostartEntryPath();
bool AutostartEntryExists();
// Writes the entry (atomically). Throws AutostartError: "Failed to create key <folder>" when the
// folder cannot be made, "Failed to set data for '<entry path>'" when the file cannot be written.
void WriteAutostartEntry(const QString& programPath, const QStringList& arguments = {});
// Removes the entry; a missing entry or a failed removal is not reported.
void RemoveAutostartEntry();

}  // namespace vontal
