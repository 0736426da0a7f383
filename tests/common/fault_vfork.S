/* SPDX-License-Identifier: BSD-2-Clause */
/* vfork through the test seam. A C wrapper cannot call vfork: the child would return from the
   wrapper's frame and the parent would resume on a clobbered one. This stub asks the seam, then
   jumps (not calls) to the real vfork or to the failure, so either returns straight to the
   caller of vfork. */
	.text
	.globl	__wrap_vfork
	.type	__wrap_vfork, @function
__wrap_vfork:
	subq	$8, %rsp
	call	tolv_fault_vfork_should_fail@PLT
	addq	$8, %rsp
	testl	%eax, %eax
	jne	1f
	jmp	__real_vfork@PLT
1:
	jmp	tolv_fault_vfork_fail@PLT
	.size	__wrap_vfork, .-__wrap_vfork
	.section	.note.GNU-stack,"",@progbits
