// The about window: a borderless picture of the product that closes itself 1.5 seconds after
// it appears. On displays of fewer than 8 bits per pixel it shows a title page built from
// labels and two small pictures instead of the picture file "St2.bmp".
#pragma once

#include <QDialog>

#include <memory>
#include <string>

class QFrame;
class QLabel;
class QTimer;

namespace kv {

class Catalogue;

class TForm1 : public QDialog {
    Q_OBJECT

public:
    static constexpr int kWidth = 508;
    static constexpr int kHeight = 399;
    static constexpr int kCloseAfterMs = 1500;

    // Builds the window for a display of `depth` bits per pixel. At 8 bits and more the picture
    // file "St2.bmp" of `program_folder` is needed: without it there is no window, and `error`
    // says "Cannot open file <path>".
    static std::unique_ptr<TForm1> Create(const Catalogue& catalogue, int depth,
                                          const std::string& program_folder, QString& error,
                                          QWidget* parent = nullptr);

    QLabel* Image1 = nullptr;  // the full-window picture
    QFrame* Panel1 = nullptr;  // the built-in title page
    QLabel* Label1 = nullptr;  // red copy of the title
    QLabel* Label2 = nullptr;  // the title
    QLabel* Label3 = nullptr;  // message 112
    QLabel* Label4 = nullptr;  // message 272
    QLabel* Image2 = nullptr;  // the emblem
    QFrame* Shape1 = nullptr;  // lime rounded rectangle
    QLabel* Image3 = nullptr;  // the picture on it
    QTimer* Timer1 = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    TForm1(QWidget* parent);
    void Timer1Timer();
};

// The about window, by its role.
using AboutWindow = TForm1;

}  // namespace kv
