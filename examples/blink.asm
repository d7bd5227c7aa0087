; Blinks an LED on PB0 of an ATtiny12 running on its internal 1.2 MHz
; oscillator, about once a second. No interrupts are used, so the program
; starts at the reset vector itself.
;
; Assemble with: avra blink.asm   (gives blink.hex)

.equ DDRB  = 0x17
.equ PORTB = 0x18

        ldi  r16, 0x01
        out  DDRB, r16          ; PB0 drives the LED
loop:   in   r17, PORTB
        eor  r17, r16
        out  PORTB, r17         ; toggle PB0
        ldi  r18, 4             ; 4 x 256 x 256 x 3 cycles: about 0.65 s
outer:  clr  r19
middle: clr  r20
inner:  dec  r20
        brne inner
        dec  r19
        brne middle
        dec  r18
        brne outer
        rjmp loop
