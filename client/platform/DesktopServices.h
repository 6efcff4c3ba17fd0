#pragma once

#include "client/platform/Services.h"

// Folders and web pages go to the user's desktop: the file manager and the default browser.
class DesktopServices : public Desktop
{
public:
    void openFolder(const QString &path) override;
    void openUrl(const QString &url) override;
    bool makePath(const QString &path) override;
};
