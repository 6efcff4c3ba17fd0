#pragma once

class QCoreApplication;

namespace tavrel {

// The program speaks Chinese, so Qt's own texts (standard buttons such as "确定", "取消", the
// file and colour dialogs) are loaded in Simplified Chinese too, whatever the system locale.
// False, after a warning, when Qt's translation is not installed: Qt then speaks English.
bool loadQtTranslation(QCoreApplication &app);

} // namespace tavrel
