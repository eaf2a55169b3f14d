-- Demo data: four controllers on bus 1, staff cards and transaction codes.
insert into rdrmain (tag_name, logical_point, spare3, controller_type, state, active, description) values
  ('MainEntrance', 1, '', 'KX4100', 'UP', 'Y', 'Main entrance, ground floor'),
  ('StaffExit',    2, '', 'KX4100', 'UP', 'Y', 'Staff exit, ground floor'),
  ('ServerRoom',   3, '', 'KX4130', 'UP', 'Y', 'Server room, first floor'),
  ('Warehouse',    4, '', 'KX470',  'UP', 'Y', 'Warehouse gate'),
  ('FingerLobby',  5, '127000000001:14370', 'KXF7', 'UP', 'Y', 'Fingerprint terminal, lobby');
insert into flrdet values ('MainEntrance','UP'), ('StaffExit','UP'), ('ServerRoom','UP'), ('Warehouse','UP'), ('FingerLobby','UP');
insert into trcode values
  ('0', 'Normal In'), ('1', 'Invalid Card'), ('2', 'Time Zone Violation'), ('3', 'Anti-passback'),
  ('4', 'Door Forced Open'), ('5', 'Door Held Open'), ('6', 'Invalid PIN'), ('7', 'Lost Card'),
  ('8', 'Expired Card'), ('9', 'Normal Out'), ('X', 'Controller Down'), ('Y', 'Controller Up');
insert into cards values
  ('000101', 'S0101', 'Alice Martin',  'Finance',     'Day', ''),
  ('000102', 'S0102', 'Bruno Keller',  'Engineering', 'Day', ''),
  ('000103', 'S0103', 'Chloe Dubois',  'Engineering', 'Night', ''),
  ('000104', 'S0104', 'Dmitri Ivanov', 'Warehouse',   'Day', ''),
  ('000105', 'S0105', 'Eve O''Neil',   'Security',    'Night', ''),
  ('000106', 'S0106', 'Farid Haddad',  'IT',          'Day', '');
insert into outputs values ('MainEntrance.Lock', 'MainEntrance', 'Main entrance lock relay');
insert into inputs values ('MainEntrance.Contact', 'MainEntrance', 'Main entrance door contact');
