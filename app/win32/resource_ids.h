/* Ids of the program's resources, shared by the resource script and the code. */
#pragma once
#define IDI_TOVREL_RADIO 1
