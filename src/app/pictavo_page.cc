#include "app/pictavo_page.h"

#include "app/pictavo_sheet.h"

namespace pictavo::app {

CPictavoSheet* PictavoPage::sheet() const { return qobject_cast<CPictavoSheet*>(wizard()); }

}  // namespace pictavo::app
