// Forced into every source of the MSVC build (/FI): the GCC attributes the
// sources carry mean nothing to MSVC (exports come from ntarn.def there).
#pragma once

#define __attribute__(x)
