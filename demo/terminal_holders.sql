-- Holders of the demo fingerprint terminal's ten users (enrolment numbers 1
-- to 10, stored as six-digit card numbers). Run at every start of the demo,
-- so that a demo folder made before these rows gets them too.
insert or ignore into cards values
  ('000001', 'S0201', 'Grace Lindqvist', 'Reception',   'Day',   ''),
  ('000002', 'S0202', 'Hiro Tanaka',     'Engineering', 'Day',   ''),
  ('000003', 'S0203', 'Ines Moreau',     'Finance',     'Day',   ''),
  ('000004', 'S0204', 'Jonas Berg',      'Warehouse',   'Night', ''),
  ('000005', 'S0205', 'Kavya Rao',       'IT',          'Day',   ''),
  ('000006', 'S0206', 'Liam O''Brien',   'Security',    'Night', ''),
  ('000007', 'S0207', 'Maja Novak',      'Engineering', 'Day',   ''),
  ('000008', 'S0208', 'Nils Ekberg',     'Warehouse',   'Day',   ''),
  ('000009', 'S0209', 'Olivia Santos',   'Reception',   'Night', ''),
  ('000010', 'S0210', 'Pavel Horak',     'Finance',     'Day',   '');
