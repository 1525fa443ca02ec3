#pragma once

#include <QDialog>

#include <functional>
#include <optional>

class QLabel;
class QLineEdit;

// The "Download location" panel: type, paste or browse for the folder new
// downloads go to; it is checked, created if needed and tested for writing
// before it is saved.
class DownloadFolderPicker : public QDialog {
    Q_OBJECT

public:
    DownloadFolderPicker(const QString &path, std::function<void(const QString &)> save, QWidget *parent = nullptr);

    QString path() const;
    void setPath(const QString &path);
    QString error() const;
    // As a new panel: this path and no message.
    void reset(const QString &path);

    void browse();
    void apply();

    // What apply would save for a typed path, or the message that refuses it.
    struct Checked {
        std::optional<QString> folder;
        QString error;
    };
    static Checked check(const QString &typed);

private:
    void setError(const QString &error);

    QLineEdit *m_path;
    QLabel *m_error;
    std::function<void(const QString &)> m_save;
};
