// The main window's toolbar: its button images come from 24-bit strips, one image
// per button, with the strip's first pixel as the transparent colour.
#pragma once

#include <QIcon>
#include <QImage>
#include <QList>
#include <QPixmap>
#include <QToolBar>

namespace varnell {

class CTrueColorToolBar : public QToolBar {
    Q_OBJECT
public:
    explicit CTrueColorToolBar(const QString& title, QWidget* parent = nullptr);

    // Loads the normal, hot and disabled image lists. False when a strip is missing
    // or narrower than one button; that image list is then left empty.
    // Strips drawn for a dense screen carry its device pixel ratio; buttonWidth
    // stays in logical pixels.
    bool LoadTrueColorToolBar(int buttonWidth, const QImage& normal, const QImage& hot, const QImage& disabled);
    // The same buttons drawn at another device pixel ratio, kept beside the
    // loaded ones so each screen gets the drawing nearest its own. False (and
    // nothing kept) when the strips hold other buttons or another size.
    bool AddSharperImages(const QImage& normal, const QImage& hot, const QImage& disabled);

    // Adds a button for action with the next image of the strips; a null action
    // adds a separator, which takes no image.
    void AddButtons(const QList<QAction*>& actions);

    // Cuts a strip into width / buttonWidth images, masked by its first pixel's
    // colour, each with the strip's device pixel ratio. Empty when the strip is
    // null or narrower than one button.
    static QList<QPixmap> SplitStrip(const QImage& strip, int buttonWidth);

    qsizetype ImageCount() const;
    QIcon IconAt(qsizetype index) const;

private:
    struct ImageSet {
        QList<QPixmap> normal, hot, disabled;
    };
    // The loaded images first, then the same at other ratios.
    QList<ImageSet> sets_;
    int buttonWidth_ = 0;
    qsizetype nextImage_ = 0;
};

} // namespace varnell
