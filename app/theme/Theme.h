#pragma once

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QPalette>
#include <QPixmap>
#include <QString>

class QLabel;
class QWidget;

// The application's colours, fonts and icons, shared by every view.
namespace Theme {

inline const QColor mint{0x66, 0xE8, 0xB8};
inline const QColor base{0x0E, 0x11, 0x16};
inline const QColor card{0x17, 0x1B, 0x21};
inline const QColor orange{0xFF, 0x9F, 0x0A};

// White at the given opacity: the secondary and tertiary text colours on base.
QColor white(double opacity);
QColor withAlpha(QColor colour, double opacity);

// The application font at a design size (logical pixels), with a weight.
QFont font(double points, QFont::Weight weight = QFont::Normal);

// A line icon of the bundled set (by its file name, such as "folder-plus"),
// drawn in colour; filled draws its shapes solid.
QPixmap pixmap(const QString &name, int size, const QColor &colour, bool filled = false);
QIcon icon(const QString &name, int size, const QColor &colour, bool filled = false);

// A label in the application font, in a colour, optionally letter-spaced.
QLabel *label(const QString &text, double size, QFont::Weight weight = QFont::Normal, const QColor &colour = Qt::white,
              double letterSpacing = 0);
// A tooltip that shows text exactly as it is: titles, names and worker
// lines come from outside and must never be read as markup.
QString plainToolTip(const QString &text);

// Style-sheet text for a rounded, filled surface with an optional outline.
QString roundedStyle(const QColor &fill, int radius, const QColor &outline = Qt::transparent);

// Style-sheet text for a panel's one mint action button, named objectName.
QString primaryButtonStyle(const QString &objectName, int verticalPadding);

// Style-sheet text for the standard controls (buttons, check boxes, pop-ups,
// tooltips, scroll bars) in the application's dark style.
QString controlsStyleSheet();

// colour painted over an opaque background, as the eye sees it.
QColor over(const QColor &colour, const QColor &background);
// The WCAG contrast ratio of two opaque colours (1 to 21).
double contrast(const QColor &first, const QColor &second);

// One dark palette for every standard piece, with mint as the accent.
QPalette palette();
// Sets the style and the palette of the whole application.
void applyToApplication();
// The palette on one widget, with its background filled.
void applyPalette(QWidget *widget);
// A panel in the dark style: the palette, the application font, the standard controls.
void applyPanelStyle(QWidget *panel);
// The dark palette and white text of the application's alerts.
void applyAlertStyle(QWidget *alert);

} // namespace Theme
