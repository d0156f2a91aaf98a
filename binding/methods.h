// Expanding the argument list of a method in binding/methods.def:
//   DZ_FOR_EACH(m, (a, b, c), ...)        m(a, b, c) m(...) ...   (nothing between)
//   DZ_FOR_EACH_COMMA(m, (a, b, c), ...)  m(a, b, c), m(...), ...
// Up to 16 arguments; none gives nothing.
#pragma once

#define DZ_PARENS ()
#define DZ_EXPAND(...) DZ_EXPAND4(DZ_EXPAND4(DZ_EXPAND4(DZ_EXPAND4(__VA_ARGS__))))
#define DZ_EXPAND4(...) DZ_EXPAND1(DZ_EXPAND1(DZ_EXPAND1(DZ_EXPAND1(__VA_ARGS__))))
#define DZ_EXPAND1(...) __VA_ARGS__

#define DZ_FOR_EACH(m, ...) __VA_OPT__(DZ_EXPAND(DZ_FOR_EACH_STEP(m, __VA_ARGS__)))
#define DZ_FOR_EACH_STEP(m, a, ...) m a __VA_OPT__(DZ_FOR_EACH_AGAIN DZ_PARENS(m, __VA_ARGS__))
#define DZ_FOR_EACH_AGAIN() DZ_FOR_EACH_STEP

#define DZ_FOR_EACH_COMMA(m, ...) __VA_OPT__(DZ_EXPAND(DZ_FOR_EACH_COMMA_STEP(m, __VA_ARGS__)))
#define DZ_FOR_EACH_COMMA_STEP(m, a, ...) m a __VA_OPT__(, DZ_FOR_EACH_COMMA_AGAIN DZ_PARENS(m, __VA_ARGS__))
#define DZ_FOR_EACH_COMMA_AGAIN() DZ_FOR_EACH_COMMA_STEP
