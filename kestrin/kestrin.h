#pragma once
// The whole core library in one include.

#include "action.h"
#include "behavior.h"
#include "constants.h"
#include "distribution.h"
#include "effector.h"
#include "error.h"
#include "geometry.h"
#include "items.h"
#include "pose_generator.h"
#include "project.h"
#include "robot.h"
#include "tool_frame.h"
#include "type.h"
#include "variable.h"
#include "workspace.h"
#include "workspace_state.h"
