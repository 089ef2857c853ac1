// IdList: the resource ids of a task's files, in file order.
#pragma once

#include "model/text_list.h"

namespace vorelia {

using IdList = TextList;

}  // namespace vorelia
