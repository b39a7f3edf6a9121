/* SPDX-License-Identifier: ISC */
/*
 * vexil.h: what a Vexil module sees of the interpreter that loads it.
 *
 * A module hands the interpreter static tables of name records and calls
 * back into it through the operations declared below.  The record layouts
 * are the binary interface between the two: field order and widths must
 * not change.  Every operation is resolved against the loading process at
 * run time; a module does not link against an interpreter library.
 */
#ifndef VEXIL_H
#define VEXIL_H

#define VEXIL_API_VERSION 20300

/* Name classes (the name_type field). */
#define VX_INTRINSIC_CLASS 5 /* intrinsic function */
#define VX_ICONSTANT_CLASS 11 /* integer constant */

/* Type codes (what Vexil_peek_at_stack answers). */
#define VX_STRING_TYPE 6
#define VX_FILE_FD_TYPE 8
#define VX_INT_TYPE 20

#define VX_MAX_INTRIN_ARGS 7

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned int VXtype; /* 32 bits on every target */

/*
 * A generic pointer to a handler.  The interpreter calls it with one
 * pointer per declared argument; VX_INTRIN_FUN stores any handler in it.
 */
#ifdef __cplusplus
typedef int (*FVOID_STAR)(void);
#define VX_INTRIN_FUN(f) reinterpret_cast<FVOID_STAR>(reinterpret_cast<void (*)(void)>(f))
#else
typedef int (*FVOID_STAR)();
#define VX_INTRIN_FUN(f) ((FVOID_STAR)(f))
#endif

typedef struct _Vexil_Name_Type {
	const char *name;
	struct _Vexil_Name_Type *next;
	char name_type;
} Vexil_Name_Type;

typedef struct _Vexil_Intrin_Fun_Type {
	const char *name; /* null ends a table */
	Vexil_Name_Type *next;
	char name_type; /* VX_INTRINSIC_CLASS */
	FVOID_STAR i_fun;
	VXtype arg_types[VX_MAX_INTRIN_ARGS]; /* 0 beyond num_args */
	unsigned char num_args;
	VXtype return_type;
} Vexil_Intrin_Fun_Type;

typedef struct _Vexil_IConstant_Type {
	const char *name; /* null ends a table */
	Vexil_Name_Type *next;
	char name_type; /* VX_ICONSTANT_CLASS */
	VXtype data_type; /* VX_INT_TYPE */
	int value;
} Vexil_IConstant_Type;

typedef struct _Vexil_NameSpace_Type Vexil_NameSpace_Type;
typedef struct _VXFile_FD_Type VXFile_FD_Type;

/* Namespaces: null or -1 on failure. */
Vexil_NameSpace_Type *VXns_create_namespace(const char *name);
int VXns_add_intrin_fun_table(Vexil_NameSpace_Type *ns, const Vexil_Intrin_Fun_Type *table,
    const char *feature);
int VXns_add_iconstant_table(Vexil_NameSpace_Type *ns, const Vexil_IConstant_Type *table,
    const char *feature);

/*
 * The argument stack.  Before calling a handler the interpreter pops its
 * declared arguments; anything further the script passed lies beneath them
 * and is the handler's to pop.  Pops return -1 on failure.
 */
int Vexil_peek_at_stack(void); /* type code of the top object, -1 if none */
int Vexil_pop_int(int *ip);

/* File-descriptor objects: a popped object is a reference to release. */
int VXfile_pop_fd(VXFile_FD_Type **fp);
int VXfile_get_fd(VXFile_FD_Type *f, int *fdp);
void VXfile_free_fd(VXFile_FD_Type *f);

/* The system error that scripts see as errno. */
void VXerrno_set_errno(int e);

#ifdef __cplusplus
}
#endif

#endif /* VEXIL_H */
