%
(Mounting plate: five bored holes, a slot and the outline)
(Uses the macro language: variables, a REPEAT loop, IF, PRINT and)
(CALLs of the subprogram library examples/macros/library.txt.)
(Work zero: front left corner of the plate, top face - G54)
G90 G21 G17 G54
#1=4
#2=3
#5=3
#10=15
#11=30
#13=0
#0=5
ASKINT "Number of holes (1 to 5)" I1 J5
#3=#0
S16000 M3
G0 Z5
REPEAT=#3
CALL "bore@library.txt"
#10=#10+20
#13=#13+1
NEXT
PRINT "holes bored: ";#13
#10=20
#11=12
#14=90
CALL "slot@library.txt"
IF #13=#3 THEN
PRINT "outline follows"
ENDIF
(outline 110 x 45 with rounded corners, 6 mm end mill outside the contour)
G0 X-3 Y5
G1 Z-3 F300
G1 Y40 F1000
G2 X5 Y48 R8
G1 X105
G2 X113 Y40 R8
G1 Y5
G2 X105 Y-3 R8
G1 X5
G2 X-3 Y5 R8
G0 Z5
G0 X0 Y60
M5
M30
