// Layer check sample: a header of a library drivers does not use. Its own
// folder includes none of the libraries its row names.
#pragma once
