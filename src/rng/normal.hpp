// Standard-normal sampler of the ziggurat kind over a caller's 64-bit word source.
#pragma once
