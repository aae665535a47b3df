%
(Engraving: a framed "QV" monogram, 0.3 mm deep, 30 degree V-cutter)
(Work zero: front left corner of the plate, top face - G54)
G90 G21 G17 G54
S18000 M3
G0 Z3
(frame with rounded corners, 60 x 30 mm)
G0 X5 Y0
G1 Z-0.3 F200
G1 X55 F900
G3 X60 Y5 R5
G1 Y25
G3 X55 Y30 R5
G1 X5
G3 X0 Y25 R5
G1 Y5
G3 X5 Y0 R5
G0 Z3
(Q: a circle and its tail)
G0 X25 Y15
G1 Z-0.3 F200
G2 X25 Y15 I-8 J0 F700
G0 Z3
G0 X19 Y10
G1 Z-0.3 F200
G1 X25 Y5 F700
G0 Z3
(V: two strokes)
G0 X33 Y23
G1 Z-0.3 F200
G1 X40 Y7 F700
G1 X47 Y23
G0 Z3
G0 X0 Y0 Z10
M5
M30
