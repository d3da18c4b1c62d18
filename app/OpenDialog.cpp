#include "app/OpenDialog.h"

#include "platform/FileDialogFilter.h"

QStringList TOpenDialog::qtNameFilters(const QString &filter)
{
    return platform::qtNameFilters(filter);
}
