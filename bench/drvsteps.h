// The program's imports the bench driver times (drvsteps.cpp): its painting
// calls while paints are timed, and its image road's sends and block copies
// while it handles an image.
#pragma once

void PatchPaintingImports();
void UnpatchPaintingImports();
// Paint steps are added up only while this is on.
void TimeSteps(bool on);
