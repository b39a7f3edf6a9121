/* SPDX-License-Identifier: ISC */
/*
 * wall.h: the remote broadcast protocol, ONC RPC over UDP.
 *
 * Procedure 2 takes one XDR string (the message: header lines, an empty
 * line and the body) and returns void; procedure 0 is the null procedure.
 */
#ifndef WALL_H
#define WALL_H

#define WALLPROG	100008	/* 0x186a8 */
#define WALLVERS	1
#define WALLPROC_NULL	0
#define WALLPROC_WALL	2

#endif
