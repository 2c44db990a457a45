// Layer check sample: a header of a library net does not use.
#pragma once
