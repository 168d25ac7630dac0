// Small controls of the main window: the folder tree that follows the drive box, and the
// status panel that shows the clock or the archive gauge.
#pragma once

#include <QLabel>
#include <QTreeView>

class QFileSystemModel;

namespace kv {

// The folder tree: the folders of one mounted file system, with a current folder.
class DirectoryTree : public QTreeView {
    Q_OBJECT

public:
    explicit DirectoryTree(QWidget* parent = nullptr);

    // The current folder, without a trailing '/' (but "/" for the root).
    QString Directory() const { return directory_; }
    // The root of the file system the tree shows.
    QString Root() const { return root_; }
    // Makes `path` the current folder, showing the file system that holds it. False (and
    // nothing changes) when `path` is not a folder.
    bool SetDirectory(const QString& path);

signals:
    void DirectoryChanged(const QString& directory);

private:
    void SetRoot(const QString& root);
    void CurrentChanged(const QModelIndex& current);

    QFileSystemModel* model_ = nullptr;
    QString root_;
    QString directory_;
};

// A status panel: a centred text, or during an archive scan a gauge with its percentage.
class StatusPanel : public QLabel {
    Q_OBJECT

public:
    explicit StatusPanel(QWidget* parent = nullptr);
    // Shows the gauge at `percent` (0 to 100); a negative value shows the text again.
    void SetGauge(int percent);
    int Gauge() const { return gauge_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int gauge_ = -1;
};

// The mount points a user would pick a drive from: every mounted file system that is not a
// pseudo file system, the root first.
QStringList MountedVolumes();

}  // namespace kv
