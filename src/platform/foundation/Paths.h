#pragma once

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

}  // namespace platform::paths
