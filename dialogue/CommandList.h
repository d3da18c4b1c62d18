#pragma once

#include <QStringList>

namespace dialogue {

// The commands the operator is offered in the Command box, in the order the
// box lists them. The texts are the device's own, blanks included; the five
// USB-interface commands close the list and carry no CR.
class CommandList
{
public:
    static constexpr int Count = 130;

    static const QStringList &operatorCommands();
};

} // namespace dialogue
