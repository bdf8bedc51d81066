// The program's file dialogs, and the hook tests use to answer them.
#pragma once

#include <QString>

#include <functional>

class QWidget;

namespace varnell {

// A file dialog. filter is in the "label|patterns|label|patterns||" form the
// program's filters are written in.
struct FileRequest {
    bool save = false;
    QString defaultSuffix;
    const char* filter = "";
    QString start; // the file or folder to start from
    // An open dialog that also takes the name of a file that does not exist yet.
    bool mayCreate = false;
};
// The chosen path, or an empty text when the user cancelled.
QString ChooseFile(QWidget* parent, const FileRequest& request);
using FileChooserHook = std::function<QString(const FileRequest&)>;
void SetFileChooserHook(FileChooserHook hook);
// "label|*.a; *.b|..||" as Qt's "label (*.a *.b);;..." (entries without a pattern are left out).
QString QtFileFilter(const char* filter);

} // namespace varnell
