#include "platform/AccessibilityTree.h"

#include "platform/linux/atspi/AtspiTree.h"

AccessibilityTree &AccessibilityTree::shared()
{
    // Never destroyed: its thread serves callers until the process ends.
    static AccessibilityTree *tree = new AtspiTree;
    return *tree;
}
