#pragma once
// Product name, version and special-build text of a program file.  Files
// here carry no version block, so the texts come from marker strings
// compiled into the file: "@(#)" followed by "!QORVER!<version>!QORVER!",
// "!QORNAME!<name>!QORNAME!" or "!QORSPECIAL!<text>!QORSPECIAL!".

#include <string>

#include "qorToolsLib/qorStatus.h"

// 0 with the three texts; 0xC721000F when the file carries no markers (the
// product name is then the path without its extension); other statuses
// with empty texts.
StatusCode GetModuleVersion(const char* path, std::string& productName, std::string& version,
                            std::string& specialBuild);

// 0 when version and name were found; 0xC721000F when the file is not a
// program file or has none of the markers; 0xC7210010 when a text is too
// long or only part of the set is present; the file's open status
// otherwise.  The texts are filled only on success.
StatusCode ScanVersionMarkers(const char* path, std::string& productName, std::string& version,
                              std::string& specialBuild);
