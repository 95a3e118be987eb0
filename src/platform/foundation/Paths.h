#pragma once

#include <optional>
#include <string>

// The application's device folders, all under one data root. Each getter creates its folder
// on first use. Safe to call from any thread.
namespace platform::paths {

// Replaces the data root; "" returns to the default. Tests point it at a fresh folder.
void setDataRoot(std::string root);
// Explicit root, else $VELTRO_DATA_ROOT, else ($XDG_DATA_HOME or ~/.local/share)/veltro/<id>.
std::string dataRoot();

void setBundleIdentifier(std::string identifier);
// The identifier set above, else the main bundle's (CFBundleIdentifier), else "app". An
// identifier that `isValidBundleIdentifier` refuses is never used: it would name a folder.
std::string bundleIdentifier();

// A reverse-DNS name: labels of ASCII letters, digits and '-' joined by single dots, at most
// 255 characters. Nothing else can climb out of the data root or name a hidden folder.
bool isValidBundleIdentifier(const std::string& identifier);

std::string documents();
std::string library();
std::string caches();              // Library/Caches
std::string applicationSupport();  // Library/Application Support
std::string preferences();         // Library/Preferences
std::string tmp();                 // the application's own, never the system's /tmp

// Whether a page may reach `path` through any plugin or the web view: a file of the
// application package, or the data root's page folders with what lies below them
// (Documents, tmp, Library/Caches, Library/files, Library/NoCloud, Library/Cloud; the data
// root and Library themselves may be listed), checked on the path as written and with its
// links resolved. The shell's own state is not the page's: Library/Cookies, Library/WebKit,
// Library/Caches/WebKit, Library/Preferences (user defaults), Library/Application Support
// (log store, cache store, crash records, the package record) and everything else in the
// data root and Library (the photo library, the lock, the SQLite plugin's databases) answer
// false, as does anything outside the data root and the package.
bool pageMayReach(const std::string& path);
// The same for a caller that has just resolved the path's links itself (`resolved` as
// fs::realPathAllowingMissing gives it, or a descriptor's path as the kernel names it): one
// resolution serves every check of an action. Without it the path is resolved here.
bool pageMayReach(const std::string& path, const std::optional<std::string>& resolved);
// Whether a page may reach `path` and everything below it: no folder of the shell's own and
// nothing else a page may not reach lies inside (the data root itself holds such things).
bool pageMayReachAll(const std::string& path);

// Every check of a shell's start on the package at `packagePath`, before it claims the data
// root; the refusal to show the user otherwise. It changes nothing on disk: a shell refused
// after it (another one runs on the root) leaves the root as it found it. From here on
// everything the process creates is the user's alone (umask 077). A root that is not the
// user's own or that others may write is refused, and so is one whose standard folders
// (Documents, Library, tmp, Media and the folders of Library the shell keeps) are symbolic
// links or not folders. A root recorded for another package that declares the same identifier
// ("Library/Application Support/VeltroPackage") is refused, unless `rebind` says the package
// was moved on purpose.
std::optional<std::string> prepareDataRoot(const std::string& packagePath, bool rebind);
// Takes the data root for the package once the shell holds it alone: creates it 0700 (an
// existing root that others may read is narrowed to 0700), checks it again as prepareDataRoot
// does (the record may have changed before the root was held), and records the package's
// canonical path in it, logging a rebind. The refusal otherwise.
std::optional<std::string> bindDataRoot(const std::string& packagePath, bool rebind);

}  // namespace platform::paths
