// Layer check sample: a header of a higher layer.
#pragma once
