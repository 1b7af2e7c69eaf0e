// The choice-only port list. An editable list turns the text of its field into
// a choice ("activated") when Return is pressed in it or when the field loses
// focus with the text of an item in it; both paths are cut here, and the field
// is read-only, so a click on it opens the list as on a plain drop-down.
#include "shell/port_list.h"

#include <QComboBox>
#include <QEvent>
#include <QLineEdit>
#include <QMouseEvent>

namespace drvvzt {
namespace {

class OpenOnClick final : public QObject {
public:
  explicit OpenOnClick(QComboBox* list) : QObject(list), list_(list) {}

  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() != QEvent::MouseButtonPress) return false;
    if (static_cast<QMouseEvent*>(event)->button() != Qt::LeftButton) return false;
    if (list_->isEnabled()) list_->showPopup();
    return true;
  }

private:
  QComboBox* list_;
};

}  // namespace

void MakeChoiceOnlyList(QComboBox* list) {
  QLineEdit* field = list->lineEdit();
  if (field == nullptr) return;
  field->setReadOnly(true);
  QObject::disconnect(field, &QLineEdit::returnPressed, list, nullptr);
  QObject::disconnect(field, &QLineEdit::editingFinished, list, nullptr);
  field->installEventFilter(new OpenOnClick(list));
}

}  // namespace drvvzt
