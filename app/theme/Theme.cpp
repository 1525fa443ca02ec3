#include "app/theme/Theme.h"

#include <QApplication>
#include <QFile>
#include <QHash>
#include <QLabel>
#include <QPainter>
#include <QPalette>
#include <QPixmapCache>
#include <QStyle>
#include <QStyleFactory>
#include <QSvgRenderer>
#include <QToolTip>
#include <QWidget>

#include <algorithm>
#include <cmath>

// Resources in a static library are registered by hand.
static void registerIcons()
{
    static const bool registered = [] {
        Q_INIT_RESOURCE(icons);
        return true;
    }();
    Q_UNUSED(registered);
}

namespace Theme {

QColor white(double opacity)
{
    return withAlpha(Qt::white, opacity);
}

QColor withAlpha(QColor colour, double opacity)
{
    colour.setAlphaF(static_cast<float>(opacity));
    return colour;
}

QFont font(double points, QFont::Weight weight)
{
    QFont font(QStringLiteral("Inter"));
    font.setStyleHint(QFont::SansSerif);
    // Design sizes are in points of a 72-per-inch logical grid, which are device-independent pixels here.
    font.setPixelSize(qRound(points));
    font.setWeight(weight);
    return font;
}

QPixmap pixmap(const QString &name, int size, const QColor &colour, bool filled)
{
    // Rows and panels ask for the same few icons over and over; render each once.
    const qreal ratio = qApp ? qApp->devicePixelRatio() : 1.0;
    const QString key = QStringLiteral("lark:%1:%2:%3:%4:%5")
                            .arg(name)
                            .arg(size)
                            .arg(colour.name(QColor::HexArgb))
                            .arg(filled)
                            .arg(ratio);
    QPixmap image;
    if (QPixmapCache::find(key, &image))
        return image;
    registerIcons();
    static QHash<QString, QByteArray> sources;
    auto source = sources.constFind(name);
    if (source == sources.cend()) {
        QFile file(QStringLiteral(":/icons/%1.svg").arg(name));
        source = sources.insert(name, file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray());
    }
    // The icons draw in currentColor; tinting is a substitution before rendering.
    QByteArray svg = *source;
    const QByteArray hex = colour.name(QColor::HexRgb).toLatin1();
    svg.replace("currentColor", hex);
    if (filled)
        svg.replace("fill=\"none\"", "fill=\"" + hex + "\"");
    image = QPixmap(QSize(size, size) * ratio);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setOpacity(colour.alphaF());
    QSvgRenderer(svg).render(&painter);
    painter.end();
    image.setDevicePixelRatio(ratio);
    QPixmapCache::insert(key, image);
    return image;
}

QIcon icon(const QString &name, int size, const QColor &colour, bool filled)
{
    QIcon result(pixmap(name, size, colour, filled));
    result.addPixmap(pixmap(name, size, withAlpha(colour, colour.alphaF() * 0.4), filled), QIcon::Disabled);
    return result;
}

QLabel *label(const QString &text, double size, QFont::Weight weight, const QColor &colour, double letterSpacing)
{
    auto *result = new QLabel(text);
    // Labels show what they are given, never markup in it.
    result->setTextFormat(Qt::PlainText);
    QFont labelFont = font(size, weight);
    if (letterSpacing > 0)
        labelFont.setLetterSpacing(QFont::AbsoluteSpacing, letterSpacing);
    result->setFont(labelFont);
    result->setStyleSheet(QStringLiteral("color: %1; background: transparent;").arg(colour.name(QColor::HexArgb)));
    return result;
}

QString plainToolTip(const QString &text)
{
    if (text.isEmpty())
        return text;
    // Tooltips guess whether text is markup; escaped text in a paragraph is always read as what it says.
    return QStringLiteral("<p style=\"white-space:pre-wrap\">") + text.toHtmlEscaped() + QStringLiteral("</p>");
}

QString roundedStyle(const QColor &fill, int radius, const QColor &outline)
{
    const QString style =
        QStringLiteral("background: %1; border-radius: %2px;").arg(fill.name(QColor::HexArgb)).arg(radius);
    // Qt only rounds a background that has a border, so an invisible one stands in.
    return style + QStringLiteral(" border: 1px solid %1;").arg(outline.name(QColor::HexArgb));
}

QString primaryButtonStyle(const QString &objectName, int verticalPadding)
{
    return QStringLiteral("#%1 { %2 color: %3; padding: %4px 14px; border: none; }"
                          "#%1:disabled { background: %5; color: %6; }")
        .arg(objectName, roundedStyle(mint, 8), base.name())
        .arg(verticalPadding)
        .arg(withAlpha(mint, 0.4).name(QColor::HexArgb), withAlpha(base, 0.4).name(QColor::HexArgb));
}

QString controlsStyleSheet()
{
    return QStringLiteral(
               "QPushButton { background: %1; color: white; border: 1px solid %2; border-radius: 6px; padding: 5px "
               "11px; }"
               "QPushButton:hover { background: %3; }"
               "QPushButton:disabled { color: %4; border-color: %5; }"
               "QCheckBox { color: white; spacing: 7px; }"
               "QCheckBox:disabled { color: %4; }"
               "QCheckBox::indicator { width: 13px; height: 13px; border-radius: 4px; border: 1px solid %2; "
               "background: %1; }"
               "QCheckBox::indicator:checked { background: %6; border-color: %6; }"
               "QCheckBox::indicator:checked:disabled { background: %7; border-color: %7; }"
               "QToolTip { color: white; background: %1; border: 1px solid %2; }"
               "QScrollBar:vertical { background: transparent; width: 10px; margin: 2px; }"
               "QScrollBar::handle:vertical { background: %2; border-radius: 3px; min-height: 30px; }"
               "QScrollBar::add-line, QScrollBar::sub-line { height: 0; }"
               "QScrollBar::add-page, QScrollBar::sub-page { background: transparent; }")
        .arg(card.lighter(130).name(), white(0.14).name(QColor::HexArgb), card.lighter(160).name(),
             white(0.3).name(QColor::HexArgb), white(0.06).name(QColor::HexArgb), mint.name(),
             withAlpha(mint, 0.35).name(QColor::HexArgb));
}

QColor over(const QColor &colour, const QColor &background)
{
    const double alpha = colour.alphaF();
    const auto mix = [alpha](double top, double bottom) { return top * alpha + bottom * (1 - alpha); };
    return QColor::fromRgbF(static_cast<float>(mix(colour.redF(), background.redF())),
                            static_cast<float>(mix(colour.greenF(), background.greenF())),
                            static_cast<float>(mix(colour.blueF(), background.blueF())));
}

double contrast(const QColor &first, const QColor &second)
{
    // WCAG 2 relative luminance of opaque sRGB colours.
    const auto luminance = [](const QColor &colour) {
        const auto linear = [](double channel) {
            return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * linear(colour.redF()) + 0.7152 * linear(colour.greenF()) + 0.0722 * linear(colour.blueF());
    };
    const double a = luminance(first);
    const double b = luminance(second);
    return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

QPalette palette()
{
    // Opaque colours only: standard widgets paint palette colours as they are,
    // and contrast can only be promised for what is actually painted.
    const QColor button = card.lighter(130);
    const QColor secondary = over(white(0.6), card);
    const QColor disabled = over(white(0.4), card);
    QPalette result;
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        result.setColor(group, QPalette::Window, base);
        result.setColor(group, QPalette::WindowText, Qt::white);
        result.setColor(group, QPalette::Base, card);
        result.setColor(group, QPalette::AlternateBase, card.lighter(118));
        result.setColor(group, QPalette::Text, Qt::white);
        result.setColor(group, QPalette::PlaceholderText, secondary);
        result.setColor(group, QPalette::Button, button);
        result.setColor(group, QPalette::ButtonText, Qt::white);
        result.setColor(group, QPalette::BrightText, Qt::white);
        result.setColor(group, QPalette::ToolTipBase, card.lighter(140));
        result.setColor(group, QPalette::ToolTipText, Qt::white);
        result.setColor(group, QPalette::Highlight, mint);
        result.setColor(group, QPalette::HighlightedText, base);
        result.setColor(group, QPalette::Link, mint);
        result.setColor(group, QPalette::LinkVisited, mint.darker(115));
        // The bevels Fusion draws around frames, buttons and scroll bars.
        result.setColor(group, QPalette::Light, card.lighter(220));
        result.setColor(group, QPalette::Midlight, card.lighter(170));
        result.setColor(group, QPalette::Mid, card.lighter(150));
        result.setColor(group, QPalette::Dark, base.darker(130));
        result.setColor(group, QPalette::Shadow, Qt::black);
    }
    result.setColor(QPalette::Disabled, QPalette::WindowText, disabled);
    result.setColor(QPalette::Disabled, QPalette::Text, disabled);
    result.setColor(QPalette::Disabled, QPalette::ButtonText, disabled);
    result.setColor(QPalette::Disabled, QPalette::Highlight, card.lighter(170));
    result.setColor(QPalette::Disabled, QPalette::HighlightedText, Qt::white);
    return result;
}

void applyToApplication()
{
    // Fusion paints every standard piece (file dialogs, menus, pop-ups, scroll
    // bars, tooltips, message boxes) from the palette, so one palette makes them all dark.
    if (QStyle *fusion = QStyleFactory::create(QStringLiteral("Fusion")))
        QApplication::setStyle(fusion);
    QApplication::setPalette(palette());
    QToolTip::setPalette(palette());
}

void applyAlertStyle(QWidget *alert)
{
    applyPalette(alert);
    alert->setStyleSheet(QStringLiteral("QLabel { color: white; }"));
}

void applyPalette(QWidget *widget)
{
    widget->setPalette(palette());
    widget->setAutoFillBackground(true);
}

void applyPanelStyle(QWidget *panel)
{
    applyPalette(panel);
    panel->setFont(font(12));
    panel->setStyleSheet(controlsStyleSheet());
}

} // namespace Theme
