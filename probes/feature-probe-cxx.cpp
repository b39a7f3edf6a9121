/* SPDX-License-Identifier: ISC */
// feature-probe, C++ list: which of 57 language features the C++ compiler
// supports under the dialect in force.  Each digit is chosen by the
// preprocessor from the compiler's identity, version and __cplusplus.
//
// A feature counts as supported from the dialect that introduced it (C++98,
// C++11 or C++14) on, and for GCC and Clang only from the release that first
// implemented it there: the GCC version is given per feature; Clang had every
// C++11 feature from 3.3 and every C++14 feature from 3.4.  Another compiler
// is trusted on its __cplusplus alone.  GCC 4.9 announces its draft C++14
// as 201300, so "above C++11" is the test for the C++14 features.

#if defined(__clang__)
# define CLANG_VERSION (__clang_major__ * 10000 + __clang_minor__ * 100)
# define TOOL_SINCE(gcc, clang) (CLANG_VERSION >= (clang))
#elif defined(__GNUC__)
# define GCC_VERSION (__GNUC__ * 10000 + __GNUC_MINOR__ * 100 + __GNUC_PATCHLEVEL__)
# define TOOL_SINCE(gcc, clang) (GCC_VERSION >= (gcc))
#else
# define TOOL_SINCE(gcc, clang) 1
#endif

#define CXX98_SINCE(gcc) TOOL_SINCE(gcc, 0)
#define CXX11_SINCE(gcc) (__cplusplus >= 201103L && TOOL_SINCE(gcc, 30300))
#define CXX14_SINCE(gcc) (__cplusplus > 201103L && TOOL_SINCE(gcc, 30400))

// Two C++14 features that GCC 12 also accepts under -std=c++11, even with
// -pedantic-errors: [[deprecated]], and the contextual conversion through
// one of several conversion functions (taken as a fix to C++11).  Older
// releases are not assumed to do so.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
# define GCC_CXX11_EXTRA (__cplusplus >= 201103L)
#else
# define GCC_CXX11_EXTRA 0
#endif

// Clang knows __func__ in every C++ dialect, without a pedantic diagnostic.
#if defined(__clang__)
# define CLANG_FUNC_ALWAYS 1
#else
# define CLANG_FUNC_ALWAYS 0
#endif

const char features[] =
"\n"
"CXX_FEATURE:"
#if CXX14_SINCE(50000)
"1"
#else
"0"
#endif
"cxx_aggregate_default_initializers\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40700)
"1"
#else
"0"
#endif
"cxx_alias_templates\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40800)
"1"
#else
"0"
#endif
"cxx_alignas\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40500)
"1"
#else
"0"
#endif
"cxx_alignof\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40800)
"1"
#else
"0"
#endif
"cxx_attributes\n"
"CXX_FEATURE:"
#if CXX14_SINCE(40900) || GCC_CXX11_EXTRA
"1"
#else
"0"
#endif
"cxx_attribute_deprecated\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40400)
"1"
#else
"0"
#endif
"cxx_auto_type\n"
"CXX_FEATURE:"
#if CXX14_SINCE(40900)
"1"
#else
"0"
#endif
"cxx_binary_literals\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40600)
"1"
#else
"0"
#endif
"cxx_constexpr\n"
"CXX_FEATURE:"
#if CXX14_SINCE(40900) || GCC_CXX11_EXTRA
"1"
#else
"0"
#endif
"cxx_contextual_conversions\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40300)
"1"
#else
"0"
#endif
"cxx_decltype\n"
"CXX_FEATURE:"
#if CXX14_SINCE(40800)
"1"
#else
"0"
#endif
"cxx_decltype_auto\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40801)
"1"
#else
"0"
#endif
"cxx_decltype_incomplete_return_types\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40300)
"1"
#else
"0"
#endif
"cxx_default_function_template_args\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40400)
"1"
#else
"0"
#endif
"cxx_defaulted_functions\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40600)
"1"
#else
"0"
#endif
"cxx_defaulted_move_initializers\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40700)
"1"
#else
"0"
#endif
"cxx_delegating_constructors\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40400)
"1"
#else
"0"
#endif
"cxx_deleted_functions\n"
"CXX_FEATURE:"
#if CXX14_SINCE(40900)
"1"
#else
"0"
#endif
"cxx_digit_separators\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40600)
"1"
#else
"0"
#endif
"cxx_enum_forward_declarations\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40500)
"1"
#else
"0"
#endif
"cxx_explicit_conversions\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40700)
"1"
#else
"0"
#endif
"cxx_extended_friend_declarations\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40300)
"1"
#else
"0"
#endif
"cxx_extern_templates\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40700)
"1"
#else
"0"
#endif
"cxx_final\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40300) || CLANG_FUNC_ALWAYS
"1"
#else
"0"
#endif
"cxx_func_identifier\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40400)
"1"
#else
"0"
#endif
"cxx_generalized_initializers\n"
"CXX_FEATURE:"
#if CXX14_SINCE(40900)
"1"
#else
"0"
#endif
"cxx_generic_lambdas\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40800)
"1"
#else
"0"
#endif
"cxx_inheriting_constructors\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40400)
"1"
#else
"0"
#endif
"cxx_inline_namespaces\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40500)
"1"
#else
"0"
#endif
"cxx_lambdas\n"
"CXX_FEATURE:"
#if CXX14_SINCE(40900)
"1"
#else
"0"
#endif
"cxx_lambda_init_captures\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40500)
"1"
#else
"0"
#endif
"cxx_local_type_template_args\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40300)
"1"
#else
"0"
#endif
"cxx_long_long_type\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40600)
"1"
#else
"0"
#endif
"cxx_noexcept\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40700)
"1"
#else
"0"
#endif
"cxx_nonstatic_member_init\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40600)
"1"
#else
"0"
#endif
"cxx_nullptr\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40700)
"1"
#else
"0"
#endif
"cxx_override\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40600)
"1"
#else
"0"
#endif
"cxx_range_for\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40500)
"1"
#else
"0"
#endif
"cxx_raw_string_literals\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40801)
"1"
#else
"0"
#endif
"cxx_reference_qualified_functions\n"
"CXX_FEATURE:"
#if CXX14_SINCE(50000)
"1"
#else
"0"
#endif
"cxx_relaxed_constexpr\n"
"CXX_FEATURE:"
#if CXX14_SINCE(40800)
"1"
#else
"0"
#endif
"cxx_return_type_deduction\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40300)
"1"
#else
"0"
#endif
"cxx_right_angle_brackets\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40300)
"1"
#else
"0"
#endif
"cxx_rvalue_references\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40400)
"1"
#else
"0"
#endif
"cxx_sizeof_member\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40300)
"1"
#else
"0"
#endif
"cxx_static_assert\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40400)
"1"
#else
"0"
#endif
"cxx_strong_enums\n"
"CXX_FEATURE:"
#if CXX98_SINCE(30400)
"1"
#else
"0"
#endif
"cxx_template_template_parameters\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40800)
"1"
#else
"0"
#endif
"cxx_thread_local\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40400)
"1"
#else
"0"
#endif
"cxx_trailing_return_types\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40400)
"1"
#else
"0"
#endif
"cxx_unicode_literals\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40400)
"1"
#else
"0"
#endif
"cxx_uniform_initialization\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40600)
"1"
#else
"0"
#endif
"cxx_unrestricted_unions\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40700)
"1"
#else
"0"
#endif
"cxx_user_literals\n"
"CXX_FEATURE:"
#if CXX14_SINCE(50000)
"1"
#else
"0"
#endif
"cxx_variable_templates\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40300)
"1"
#else
"0"
#endif
"cxx_variadic_macros\n"
"CXX_FEATURE:"
#if CXX11_SINCE(40400)
"1"
#else
"0"
#endif
"cxx_variadic_templates\n"
;

int
main(int argc, char *argv[])
{
	(void)argv;
	// argc modulo the length: unknown to the compiler, always in bounds.
	return features[static_cast<unsigned>(argc) % sizeof(features)];
}
