#include "ui/platform/file_dialog.h"

#include <QFileDialog>
#include <QStringList>

namespace varnell {

namespace {

FileChooserHook& TheFileChooserHook()
{
    static FileChooserHook hook;
    return hook;
}

} // namespace

void SetFileChooserHook(FileChooserHook hook) { TheFileChooserHook() = std::move(hook); }

QString QtFileFilter(const char* filter)
{
    const QStringList parts = QString::fromLatin1(filter).split(QLatin1Char('|'));
    QStringList entries;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QStringList patterns;
        for (const QString& p : parts[i + 1].split(QLatin1Char(';'))) {
            const QString pattern = p.trimmed();
            if (!pattern.isEmpty())
                patterns << pattern;
        }
        if (patterns.isEmpty())
            continue;
        // Qt takes the patterns from the last parenthesised group, so a label
        // that shows its own patterns keeps them.
        entries << parts[i].trimmed() + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) +
                       QLatin1Char(')');
    }
    return entries.join(QStringLiteral(";;"));
}

QString ChooseFile(QWidget* parent, const FileRequest& request)
{
    if (TheFileChooserHook())
        return TheFileChooserHook()(request);
    QFileDialog dialog(parent);
    dialog.setAcceptMode(request.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(request.save || request.mayCreate ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setNameFilter(QtFileFilter(request.filter));
    dialog.setOption(QFileDialog::ReadOnly, false);
    if (!request.defaultSuffix.isEmpty())
        dialog.setDefaultSuffix(request.defaultSuffix);
    if (!request.start.isEmpty())
        dialog.selectFile(request.start);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().first();
}

} // namespace varnell
