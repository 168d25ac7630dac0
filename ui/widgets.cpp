#include "ui/widgets.h"

#include <QDir>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QPainter>
#include <QStorageInfo>

namespace kv {

namespace {

bool IsPseudoFileSystem(const QByteArray& type) {
    static const char* const kPseudo[] = {
        "proc",      "sysfs",       "devtmpfs", "devpts", "cgroup",   "cgroup2",   "debugfs",
        "tracefs",   "securityfs",  "pstore",   "bpf",    "configfs", "fusectl",   "mqueue",
        "hugetlbfs", "binfmt_misc", "efivarfs", "autofs", "nsfs",     "rpc_pipefs"};
    for (const char* pseudo : kPseudo) {
        if (type == pseudo) return true;
    }
    return false;
}

QString CleanFolder(const QString& path) {
    QString clean = QDir::cleanPath(path);
    return clean.isEmpty() ? QStringLiteral("/") : clean;
}

}  // namespace

QStringList MountedVolumes() {
    QStringList roots;
    roots << "/";
    const QList<QStorageInfo> volumes = QStorageInfo::mountedVolumes();
    for (const QStorageInfo& volume : volumes) {
        if (!volume.isValid() || IsPseudoFileSystem(volume.fileSystemType())) continue;
        QString root = volume.rootPath();
        if (!roots.contains(root)) roots << root;
    }
    return roots;
}

DirectoryTree::DirectoryTree(QWidget* parent) : QTreeView(parent) {
    model_ = new QFileSystemModel(this);
    model_->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot);
    model_->setReadOnly(true);
    setModel(model_);
    for (int column = 1; column < model_->columnCount(); ++column) hideColumn(column);
    header()->hide();
    setSelectionMode(QAbstractItemView::SingleSelection);
    setUniformRowHeights(true);
    connect(selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current, const QModelIndex&) { CurrentChanged(current); });
}

void DirectoryTree::SetRoot(const QString& root) {
    if (root == root_) return;
    root_ = root;
    model_->setRootPath(root);
    setRootIndex(model_->index(root));
}

bool DirectoryTree::SetDirectory(const QString& path) {
    const QString folder = CleanFolder(path);
    QFileInfo info(folder);
    if (!info.isDir()) return false;
    QString root = QStorageInfo(folder).rootPath();
    if (root.isEmpty()) root = "/";
    SetRoot(root);
    directory_ = folder;
    QModelIndex index = model_->index(folder);
    if (index.isValid()) {
        setCurrentIndex(index);
        expand(index);
        scrollTo(index);
    }
    emit DirectoryChanged(directory_);
    return true;
}

void DirectoryTree::CurrentChanged(const QModelIndex& current) {
    if (!current.isValid()) return;
    QString folder = CleanFolder(model_->filePath(current));
    if (folder == directory_) return;
    directory_ = folder;
    emit DirectoryChanged(directory_);
}

StatusPanel::StatusPanel(QWidget* parent) : QLabel(parent) {
    setAlignment(Qt::AlignCenter);
}

void StatusPanel::SetGauge(int percent) {
    gauge_ = percent < 0 ? -1 : qMin(percent, 100);
    repaint();
}

void StatusPanel::paintEvent(QPaintEvent* event) {
    if (gauge_ < 0) {
        QLabel::paintEvent(event);
        return;
    }
    QPainter painter(this);
    QRect bar = contentsRect().adjusted(2, 3, -2, -3);
    painter.fillRect(bar, palette().color(QPalette::Base));
    QRect filled = bar;
    filled.setWidth(bar.width() * gauge_ / 100);
    painter.fillRect(filled, QColor(255, 0, 0));
    painter.setPen(palette().color(QPalette::Text));
    painter.drawRect(bar.adjusted(0, 0, -1, -1));
    painter.drawText(bar, Qt::AlignCenter, QString::number(gauge_) + "%");
}

}  // namespace kv
