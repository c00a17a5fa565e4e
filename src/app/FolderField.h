#pragma once

#include <QLineEdit>

// A read-only path field. Long paths are shortened in the middle so that both the start and
// the folder's own name stay visible; with the focus it shows the whole path, selected, so
// that it can be copied.
class FolderField : public QLineEdit
{
    Q_OBJECT
public:
    explicit FolderField(QWidget *parent = nullptr);

    QString path() const { return m_path; }
    void setPath(const QString &path);

protected:
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void refresh();

    QString m_path;
};
