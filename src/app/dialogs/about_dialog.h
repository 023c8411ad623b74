#pragma once

#include <QDialog>

namespace vemo {

// Dialog 600, the About box.
class AboutDialog : public QDialog {
  public:
    explicit AboutDialog(QWidget* parent);
};

}  // namespace vemo
