#include "app/OpenDialog.h"

#include "platform/FileDialogFilter.h"
#include "platform/HostServices.h"

QStringList TOpenDialog::qtNameFilters(const QString &filter)
{
    return platform::qtNameFilters(filter);
}

bool TOpenDialog::Execute()
{
    return platform::host().chooseFile(Filter, FileName);
}
