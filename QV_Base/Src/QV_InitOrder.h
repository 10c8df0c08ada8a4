// Load order of the library's static objects. They are built in ascending order when the
// library is loaded and destroyed in the reverse order when it is unloaded.
#pragma once

#define ZB_INIT_MEMMGR 1001
#define ZB_INIT_CHILD_MODULE 1002
#define ZB_INIT_REGISTRY 1003
#define ZB_INIT_TRACE_SENDER 1004
#define ZB_INIT_LOCK_LOG 1005

#define ZB_INIT_ORDER(n) __attribute__((init_priority(n)))
