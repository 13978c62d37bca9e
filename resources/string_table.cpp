#include "resources/string_table.h"

#include "build_config.h"

namespace resources {

const BuiltinString kBuiltinStrings[32] = {
    {101, "&About Harbinor..."},
    {102, "Abort"},
    {103, "Download"},
    {104, "Check"},
    {105, "Your software is up-to-date."},
    {106, "A newer version is available. (total size: %s)"},
    {107, "Update has been successfully downloaded."},
    {108, "Update has been aborted."},
    {109, "Cannot connect to the Quorva web server."},
    {110, "Update failed."},
    {111, "Update error: cannot save file to the local disk."},
    {112, "Done"},
    {113, "Download has been completed."},
    {114, "500,310"},
    {115, "Arial"},
    {116, "12"},
    {117, "Check for Updates..."},
    {118, "Downloading update..."},
    {119, "You have downloaded all the update files.\n\nPlease restart the editor to install the new update.\n"},
    {120, "You can download the latest version from\n\n" HARBINOR_DOWNLOAD_PAGE},
    {121, "Speed: %5.1f Kb/s    Remaining:"},
    {122, "Press OK to cancel the update.\n"},
    {123, "Message"},
    {124, "Press \"Download\" to download update files."},
    {125, "Press \"Retry\" to update again."},
    {126, "Press \"Download\" to download again."},
    {127, "Retry"},
    {128, "Help"},
    {129, "Close"},
    {130, "Software Update Failed"},
    {131, "One or more files could not be updated. Please ensure that the application is\nclosed and that you have the permission to modify files.\n\nPress OK to start the application without update."},
    {132, ", Remaining: "},
};

}  // namespace resources
