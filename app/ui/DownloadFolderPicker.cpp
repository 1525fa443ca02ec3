#include "app/ui/DownloadFolderPicker.h"

#include "app/theme/Theme.h"

#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QVBoxLayout>

#include <filesystem>
#include <unistd.h>

namespace {

QString expandTilde(const QString &path)
{
    if (path == QLatin1String("~"))
        return QDir::homePath();
    if (path.startsWith(QLatin1String("~/")))
        return QDir::homePath() + path.sliced(1);
    return path;
}

QString suggested(QStandardPaths::StandardLocation location)
{
    return QDir(QStandardPaths::writableLocation(location)).absoluteFilePath(QStringLiteral("Lark"));
}

} // namespace

DownloadFolderPicker::DownloadFolderPicker(const QString &path, std::function<void(const QString &)> save,
                                           QWidget *parent) :
    QDialog(parent),
    m_path(new QLineEdit(path)),
    m_error(new QLabel),
    m_save(std::move(save))
{
    setWindowTitle(QStringLiteral("Download location"));
    setMinimumWidth(560);
    resize(560, 220);
    Theme::applyPalette(this);
    setFont(Theme::font(12));
    setStyleSheet(
        QStringLiteral("QLabel { color: white; } QPushButton { background: %1; color: white; border: 1px solid %2; "
                       "border-radius: 6px;"
                       " padding: 5px 12px; } QPushButton:default { background: %3; color: %4; border: none; }"
                       "QLineEdit { background: %5; color: white; border: 1px solid %2; border-radius: 7px;"
                       " padding: 5px 8px; }")
            .arg(Theme::card.lighter(130).name(), Theme::white(0.14).name(QColor::HexArgb), Theme::mint.name(),
                 Theme::base.name(), Theme::card.name()));

    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(24, 24, 24, 24);
    column->setSpacing(16);
    auto *title = new QHBoxLayout;
    title->setSpacing(8);
    auto *icon = new QLabel;
    icon->setPixmap(Theme::pixmap(QStringLiteral("folder"), 19, Qt::white));
    title->addWidget(icon);
    auto *heading = new QLabel(QStringLiteral("Choose a download folder"));
    heading->setFont(Theme::font(19, QFont::DemiBold));
    title->addWidget(heading);
    title->addStretch();
    column->addLayout(title);
    auto *explanation =
        new QLabel(QStringLiteral("New downloads will use this location. Existing downloads stay where they are."));
    explanation->setStyleSheet(QStringLiteral("color: %1;").arg(Theme::white(0.55).name(QColor::HexArgb)));
    column->addWidget(explanation);

    auto *pathRow = new QHBoxLayout;
    m_path->setPlaceholderText(QStringLiteral("Folder path"));
    m_path->setAccessibleName(QStringLiteral("Download folder path"));
    pathRow->addWidget(m_path, 1);
    auto *browseButton = new QPushButton(QStringLiteral("Browse\u2026"));
    browseButton->setAutoDefault(false);
    connect(browseButton, &QPushButton::clicked, this, &DownloadFolderPicker::browse);
    pathRow->addWidget(browseButton);
    column->addLayout(pathRow);

    m_error->setFont(Theme::font(11));
    m_error->setTextFormat(Qt::PlainText);
    m_error->setWordWrap(true);
    m_error->setStyleSheet(QStringLiteral("color: %1;").arg(Theme::orange.name()));
    m_error->hide();
    column->addWidget(m_error);

    auto *buttons = new QHBoxLayout;
    for (const auto &[text, location] : {std::pair{"Downloads", QStandardPaths::DownloadLocation},
                                         std::pair{"Desktop", QStandardPaths::DesktopLocation}}) {
        auto *button = new QPushButton(QString::fromLatin1(text));
        button->setAutoDefault(false);
        connect(button, &QPushButton::clicked, this, [this, location] { setPath(suggested(location)); });
        buttons->addWidget(button);
    }
    buttons->addStretch();
    auto *cancel = new QPushButton(QStringLiteral("Cancel"));
    cancel->setAutoDefault(false);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    buttons->addWidget(cancel);
    auto *use = new QPushButton(QStringLiteral("Use folder"));
    use->setDefault(true);
    connect(use, &QPushButton::clicked, this, &DownloadFolderPicker::apply);
    buttons->addWidget(use);
    column->addLayout(buttons);
}

QString DownloadFolderPicker::path() const
{
    return m_path->text();
}

void DownloadFolderPicker::setPath(const QString &path)
{
    m_path->setText(path);
}

QString DownloadFolderPicker::error() const
{
    return m_error->isVisible() || !m_error->text().isEmpty() ? m_error->text() : QString();
}

void DownloadFolderPicker::setError(const QString &error)
{
    m_error->setText(error);
    m_error->setVisible(!error.isEmpty());
}

DownloadFolderPicker::Checked DownloadFolderPicker::check(const QString &typed)
{
    const QString expanded = expandTilde(typed.trimmed());
    if (!expanded.startsWith(QLatin1Char('/')))
        return {std::nullopt, QStringLiteral("Choose a folder or enter a full path starting with / or ~/ .")};
    const QString folder = QDir::cleanPath(expanded);
    std::error_code failure;
    std::filesystem::create_directories(QFile::encodeName(folder).toStdString(), failure);
    if (failure)
        return {std::nullopt,
                QStringLiteral("The folder could not be created: %1.").arg(QString::fromLocal8Bit(failure.message()))};
    if (::access(QFile::encodeName(folder).constData(), W_OK) != 0)
        return {std::nullopt, QStringLiteral("This folder is not writable. Choose another location.")};
    return {folder, QString()};
}

void DownloadFolderPicker::reset(const QString &path)
{
    setPath(path);
    setError(QString());
}

void DownloadFolderPicker::apply()
{
    const Checked checked = check(path());
    if (!checked.folder) {
        setError(checked.error);
        return;
    }
    m_save(*checked.folder);
    hide();
}

void DownloadFolderPicker::browse()
{
    auto *chooser = new QFileDialog(this, QString(), expandTilde(path()));
    chooser->setFileMode(QFileDialog::Directory);
    chooser->setOption(QFileDialog::ShowDirsOnly);
    chooser->setLabelText(QFileDialog::Accept, QStringLiteral("Choose folder"));
    chooser->setAttribute(Qt::WA_DeleteOnClose);
    chooser->setWindowModality(Qt::WindowModal);
    connect(chooser, &QFileDialog::fileSelected, this, [this](const QString &chosen) { setPath(chosen); });
    chooser->open();
}
