// The copy of the event table that the task-viewer program reads.
#pragma once

namespace tarvo {

class Engine;

void CopyTaskViewDatabase(Engine& e);
void CompactTaskViewDatabase(Engine& e);

}  // namespace tarvo
